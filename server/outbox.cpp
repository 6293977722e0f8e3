// Wire encoding of the server's messages. Car messages carry exactly Nclient human
// records followed by Nenemy enemy records, the counts the clients were told.
#include "outbox.h"

#include <cstdio>
#include <cstring>

#include "game.h"

out_msg outbox[OUTBOX_MAX];
int outbox_count;
long outbox_dropped;

void outbox_clear()
{
    outbox_count = 0;
}

// A fresh message of the given payload size, header written; null when the outbox
// is full.
static unsigned char *begin_msg(int slot, int tag, int payload)
{
    if (outbox_count >= OUTBOX_MAX || payload < 0 || payload > MAX_PAYLOAD) {
        outbox_dropped++;
        fprintf(stderr, "mazecar-server: outbox full, message %d dropped\n", tag);
        return nullptr;
    }
    out_msg &m = outbox[outbox_count++];
    m.slot = slot;
    m.len = TAG_SIZE + payload;
    memset(m.bytes, 0, sizeof m.bytes);
    put_be32(m.bytes, tag);
    put_be32(m.bytes + 4, m.len);
    return m.bytes + TAG_SIZE;
}

void send_bare(int slot, int tag)
{
    begin_msg(slot, tag, 0);
}

void send_word(int slot, int tag, int32_t value)
{
    unsigned char *p = begin_msg(slot, tag, WORD_PAYLOAD);
    if (p)
        put_be32(p, value);
}

static void put_position(unsigned char *p, const car &c)
{
    put_be32(p, c.x);
    put_be32(p + 4, c.y);
    put_be32(p + 8, c.angle);
    put_be32(p + 12, c.status);
    put_be32(p + 16, c.fuel);
}

void send_playerinfo(int slot)
{
    unsigned char *p = begin_msg(slot, TAG_PLAYERINFO, POFF * car_total());
    if (!p)
        return;
    for (int i = 0; i < car_total(); i++)
        put_position(p + POFF * i, cars[i]);
}

void send_playerinfo2(int slot)
{
    unsigned char *p = begin_msg(slot, TAG_PLAYERINFO2, POFF2 * car_total());
    if (!p)
        return;
    for (int i = 0; i < car_total(); i++) {
        const car &c = cars[i];
        unsigned char *r = p + POFF2 * i;
        put_position(r, c);
        put_be32(r + 20, c.flags);
        put_be32(r + 24, c.lives);
        put_be32(r + 28, c.wins);
        put_be32(r + 32, c.score);
        put_be32(r + 36, c.flags_game);
        put_be32(r + 40, c.control);
        memcpy(r + POFF2_NAME, c.name, NAME_BYTES);
        r[POFF2_NAME + NAME_BYTES - 1] = '\0';
    }
}

void send_roundinfo(int slot)
{
    unsigned char *p = begin_msg(slot, TAG_ROUNDINFO, ROUNDINFO_PAYLOAD);
    if (!p)
        return;
    put_be32(p, round_no);
    put_be32(p + 4, flags_total);
    put_be32(p + 8, flags_left);
    put_be32(p + 12, cfg.enemies);
}

void send_map(int slot)
{
    unsigned char *p = begin_msg(slot, TAG_MAP, MAP_PAYLOAD);
    if (p)
        memcpy(p, field, MAP_BYTES);
}

void send_smoke(int slot)
{
    unsigned char *p = begin_msg(slot, TAG_SMOKE, SMOKE_PAYLOAD);
    if (!p)
        return;
    for (int j = 0; j < SMOKE_MAX; j++) {
        put_be32(p + 12 * j, puffs[j].x);
        put_be32(p + 12 * j + 4, puffs[j].y);
        put_be32(p + 12 * j + 8, puffs[j].size);
    }
}

void send_hiscore(int slot)
{
    send_word(slot, TAG_HISCORE, hiscore);
}
