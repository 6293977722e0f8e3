// Wire encoding of a game's messages. Car messages carry exactly Nclient human records
// followed by Nenemy enemy records, the counts the clients were told; every record
// goes through the codec the client decodes with.
#include "game/outbox.h"

#include <cstring>

#include "car_codec.h"
#include "game/game.h"

unsigned char *outbox::begin(int slot, int tag, int payload)
{
    if (static_cast<int>(msgs.size()) >= OUTBOX_MAX || payload < 0 || payload > MAX_PAYLOAD) {
        dropped++;
        return nullptr;
    }
    int len = TAG_SIZE + payload;
    int offset = static_cast<int>(bytes.size());
    bytes.resize(bytes.size() + static_cast<size_t>(len), 0);
    msgs.push_back(entry{slot, offset, len});
    unsigned char *p = bytes.data() + offset;
    put_be32(p, tag);
    put_be32(p + 4, len);
    return p + TAG_SIZE;
}

void outbox::discard(int slot)
{
    size_t kept = 0, end = 0;
    for (const entry &e : msgs) {
        if (e.slot == slot)
            continue;
        memmove(bytes.data() + end, bytes.data() + e.offset, static_cast<size_t>(e.len));
        msgs[kept++] = entry{e.slot, static_cast<int>(end), e.len};
        end += static_cast<size_t>(e.len);
    }
    msgs.resize(kept);
    bytes.resize(end);
}

void game::send_bare(int slot, int tag)
{
    out.begin(slot, tag, 0);
}

void game::send_word(int slot, int tag, int32_t value)
{
    unsigned char *p = out.begin(slot, tag, WORD_PAYLOAD);
    if (p)
        put_be32(p, value);
}

void game::send_playerinfo(int slot)
{
    unsigned char *p = out.begin(slot, TAG_PLAYERINFO, POFF * car_total());
    if (!p)
        return;
    for (int i = 0; i < car_total(); i++)
        encode_car_position(p + POFF * i, cars[i]);
}

void game::send_playerinfo2(int slot)
{
    unsigned char *p = out.begin(slot, TAG_PLAYERINFO2, POFF2 * car_total());
    if (!p)
        return;
    for (int i = 0; i < car_total(); i++)
        encode_car_full(p + POFF2 * i, cars[i]);
}

void game::send_roundinfo(int slot)
{
    unsigned char *p = out.begin(slot, TAG_ROUNDINFO, ROUNDINFO_PAYLOAD);
    if (!p)
        return;
    put_be32(p, round_no);
    put_be32(p + 4, flags_total);
    put_be32(p + 8, flags_left);
    put_be32(p + 12, cfg.enemies);
}

void game::send_map(int slot)
{
    unsigned char *p = out.begin(slot, TAG_MAP, MAP_PAYLOAD);
    if (p)
        memcpy(p, field, MAP_BYTES);
}

void game::send_smoke(int slot)
{
    unsigned char *p = out.begin(slot, TAG_SMOKE, SMOKE_PAYLOAD);
    if (!p)
        return;
    for (int j = 0; j < SMOKE_MAX; j++)
        encode_smoke_entry(p + SMOKE_ENTRY_BYTES * j, puffs[j]);
}

void game::send_hiscore(int slot)
{
    send_word(slot, TAG_HISCORE, hiscore);
}
