// The wire protocol between client and server: the game's fixed sizes, car and cell
// codes, port, frame header, tags, payload layouts and key bits. The client and the
// game server both include this header (and nothing of each other's), so both sides
// share one definition of every figure.
//
// Every integer on the wire is a signed 32-bit word in network byte order.
// Frame: word 0 tag, word 1 size of the whole message (header included), payload.
#pragma once

#include <cstdint>

constexpr int MAXPLAYER = 8;  // cars in the table, humans and enemies together
constexpr int MAP_W = 32;     // maze width in cells
constexpr int MAP_H = 56;     // maze height in cells
constexpr int MAP_BYTES = MAP_W * MAP_H;
constexpr int CELL_SIZE = 64;  // world units per cell side
constexpr int WORLD_W = MAP_W * CELL_SIZE;
constexpr int WORLD_H = MAP_H * CELL_SIZE;
constexpr int SMOKE_MAX = 24;       // entries of the smoke table
constexpr int FUEL_FULL = 3000;     // a full tank
constexpr int CONTROL_CLASSIC = 7;  // car-control mode shown as "CLASSIC"; others "MODERN"
constexpr int NAME_BYTES = 16;      // bytes of a car's name, NUL included

// Car status (playerinfo.status).
enum {
    PS_NONE = 0,  // not checked in / not taking part
    PS_DRIVE = 1,
    PS_BURST = 2,
    PS_NOFUEL = 4,
    PS_RETIRED = 6,
};

// Cell codes of the fieldmap.
enum {
    CELL_ROAD = 0,
    CELL_WALL = 1,
    CELL_FLAG = 2,
    CELL_FLAG_L = 3,
    CELL_FLAG_S = 4,
    CELL_ROCK = 5,
};

constexpr int SERVER_PORT = 5555;
constexpr int TAG_SIZE = 8;         // bytes of the frame header
constexpr int NET_BUF_SIZE = 1920;  // recv_buf and send_buf
constexpr int MAX_PAYLOAD = NET_BUF_SIZE - TAG_SIZE;
constexpr int POFF = 20;           // bytes per car in TAG_PLAYERINFO
constexpr int POFF2 = 60;          // bytes per car in TAG_PLAYERINFO2
constexpr int POFF2_NAME = 44;     // offset of the 16 name bytes in a car's POFF2 block
constexpr int KEYS_MSG_SIZE = 12;  // the client's key-state message

enum {
    TAG_KEYS = 0,
    TAG_PLAYERINFO = 1,
    TAG_PLAYERINFO2 = 2,
    TAG_ROUNDINFO = 3,
    TAG_MAP = 4,
    TAG_SMOKE = 5,
    TAG_HISCORE = 6,
    TAG_LOBBY = 7,
    TAG_READY = 8,
    TAG_START = 9,
    TAG_STAGE_CLEAR = 10,
    TAG_ROUND_RESULT = 11,
    TAG_FINAL_RESULT = 12,
    TAG_LIVE = 13,
    TAG_GAME_OVER = 14,
    TAG_QUIT = 15,
    TAG_PAUSE = 16,
    TAG_COUNT = 17,  // size of the tag-handler table
};

// Payload bytes of the fixed-layout messages. The two car messages carry POFF or
// POFF2 bytes per car instead.
constexpr int ROUNDINFO_PAYLOAD = 4 * 4;
constexpr int MAP_PAYLOAD = MAP_BYTES;
constexpr int SMOKE_PAYLOAD = SMOKE_MAX * 3 * 4;
constexpr int WORD_PAYLOAD = 4;  // hiscore, lobby, ready, start, round result

// Size of a whole server message of this tag that carries exactly its layout (for the
// two car messages: cars records); -1 for a tag the server never sends.
constexpr int message_size(int tag, int cars)
{
    switch (tag) {
    case TAG_PLAYERINFO: return TAG_SIZE + POFF * cars;
    case TAG_PLAYERINFO2: return TAG_SIZE + POFF2 * cars;
    case TAG_ROUNDINFO: return TAG_SIZE + ROUNDINFO_PAYLOAD;
    case TAG_MAP: return TAG_SIZE + MAP_PAYLOAD;
    case TAG_SMOKE: return TAG_SIZE + SMOKE_PAYLOAD;
    case TAG_HISCORE:
    case TAG_LOBBY:
    case TAG_READY:
    case TAG_START:
    case TAG_ROUND_RESULT: return TAG_SIZE + WORD_PAYLOAD;
    case TAG_STAGE_CLEAR:
    case TAG_FINAL_RESULT:
    case TAG_LIVE:
    case TAG_GAME_OVER:
    case TAG_QUIT:
    case TAG_PAUSE: return TAG_SIZE;
    default: return -1;
    }
}

// Key bits of the key-state message.
enum {
    KEY_UP = 0x01,
    KEY_DOWN = 0x02,
    KEY_LEFT = 0x04,
    KEY_RIGHT = 0x08,
    KEY_SPACE = 0x10,
    KEY_Q = 0x20,
    KEY_S = 0x40,
};

// Big-endian word at p, as a signed host integer.
inline int32_t get_be32(const unsigned char *p)
{
    uint32_t v = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    return static_cast<int32_t>(v);
}

// Stores v at p as a big-endian word.
inline void put_be32(unsigned char *p, int32_t v)
{
    uint32_t u = static_cast<uint32_t>(v);
    p[0] = static_cast<unsigned char>(u >> 24);
    p[1] = static_cast<unsigned char>(u >> 16);
    p[2] = static_cast<unsigned char>(u >> 8);
    p[3] = static_cast<unsigned char>(u);
}
