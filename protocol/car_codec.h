// The one layout of a car record and of a smoke entry on the wire, for both ends: the
// server encodes its cars with it and the client decodes into its model with it.
// A car record is CAR_FULL_WORDS words and the name (TAG_PLAYERINFO2); the position
// message carries only its first CAR_POSITION_WORDS words (TAG_PLAYERINFO).
//
// The functions are templates over the record type: the server's car and the client's
// playerinfo both name these fields, so neither side copies through a third struct.
// Callers pass a pointer to the record's first byte inside a buffer they have already
// checked holds the whole record.
#pragma once

#include <cstring>

#include "wire.h"

constexpr int CAR_POSITION_WORDS = 5;  // x, y, angle, status, fuel
constexpr int CAR_FULL_WORDS = 11;     // then flags, lives, wins, score, flags_game, control
static_assert(POFF == 4 * CAR_POSITION_WORDS, "a position record is its words");
static_assert(POFF2_NAME == 4 * CAR_FULL_WORDS, "the name follows the words");
static_assert(POFF2 == POFF2_NAME + NAME_BYTES, "a full record is its words and the name");
constexpr int SMOKE_ENTRY_BYTES = 12;  // x, y, size
static_assert(SMOKE_PAYLOAD == SMOKE_MAX * SMOKE_ENTRY_BYTES, "the smoke table is its entries");

// Calls visit(word) on each wire word of the record, in wire order.
template <class Car, class Visit> void visit_car_words(Car &c, int words, Visit visit)
{
    decltype(&c.x) const order[CAR_FULL_WORDS] = {&c.x,     &c.y,          &c.angle,  &c.status,
                                                  &c.fuel,  &c.flags,      &c.lives,  &c.wins,
                                                  &c.score, &c.flags_game, &c.control};
    for (int i = 0; i < words && i < CAR_FULL_WORDS; i++)
        visit(*order[i], i);
}

template <class Car> void encode_car_position(unsigned char *p, const Car &c)
{
    visit_car_words(c, CAR_POSITION_WORDS, [p](int32_t v, int i) { put_be32(p + 4 * i, v); });
}

template <class Car> void encode_car_full(unsigned char *p, const Car &c)
{
    visit_car_words(c, CAR_FULL_WORDS, [p](int32_t v, int i) { put_be32(p + 4 * i, v); });
    memcpy(p + POFF2_NAME, c.name, NAME_BYTES);
    p[POFF2_NAME + NAME_BYTES - 1] = '\0';
}

template <class Car> void decode_car_position(const unsigned char *p, Car &c)
{
    visit_car_words(c, CAR_POSITION_WORDS, [p](int32_t &v, int i) { v = get_be32(p + 4 * i); });
}

// The name is taken as sent, all NAME_BYTES of it; the reader decides what a name
// without its NUL means.
template <class Car> void decode_car_full(const unsigned char *p, Car &c)
{
    visit_car_words(c, CAR_FULL_WORDS, [p](int32_t &v, int i) { v = get_be32(p + 4 * i); });
    memcpy(c.name, p + POFF2_NAME, NAME_BYTES);
}

template <class Puff> void encode_smoke_entry(unsigned char *p, const Puff &s)
{
    put_be32(p, s.x);
    put_be32(p + 4, s.y);
    put_be32(p + 8, s.size);
}

template <class Puff> void decode_smoke_entry(const unsigned char *p, Puff &s)
{
    s.x = get_be32(p);
    s.y = get_be32(p + 4);
    s.size = get_be32(p + 8);
}
