// The server messages. A message shorter than its layout is dropped whole before
// anything is written, so the model never takes half a message.
#include "net/messages.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "car_codec.h"
#include "game/model.h"
#include "net/framing.h"
#include "startup/shutdown.h"

// Both car messages end with this check of the bytes read against the announced
// car count; it only reports, it undoes nothing.
static void check_consumed(const char *name, const char *per_car_name, int per_car, int cars_read)
{
    int64_t off = TAG_SIZE + int64_t{per_car} * cars_read;
    int64_t expected = TAG_SIZE + int64_t{per_car} * cars_announced();
    if (off != expected)
        fprintf(stderr,
                "%s off:%" PRId64 "  TAG_SIZE+%s*(Nclient+Nenemy):%" PRId64
                "\nsomething wrong. abort...\n",
                name, off, per_car_name, expected);
}

// The payload a car message must carry for the announced cars (none when the count
// is zero or negative).
static int64_t car_payload(int per_car)
{
    int64_t n = cars_announced();
    return n > 0 ? n * per_car : 0;
}

// Where car i's record starts in the message just read (checked to hold it).
static const unsigned char *car_record(int i, int per_car)
{
    return recv_buf + TAG_SIZE + static_cast<size_t>(i) * static_cast<size_t>(per_car);
}

void unpack_playerinfo()
{
    if (!message_holds(car_payload(POFF)))
        return;
    int n = car_count();  // never past the table
    for (int i = 0; i < n; i++)
        decode_car_position(car_record(i, POFF), players[i]);
    check_consumed("unpack_playerinfo", "POFF", POFF, n);
}

void unpack_playerinfo2()
{
    if (!message_holds(car_payload(POFF2)))
        return;
    int n = car_count();  // never past the table
    for (int i = 0; i < n; i++)
        decode_car_full(car_record(i, POFF2), players[i]);
    check_consumed("unpack_playerinfo2", "POFF2", POFF2, n);
}

void unpack_roundinfo()
{
    if (!message_holds(ROUNDINFO_PAYLOAD))
        return;
    round_no = payload_word(0);
    flags_total = payload_word(1);
    flags_left = payload_word(2);
    Nenemy = payload_word(3);
}

void unpack_map()
{
    if (!message_holds(MAP_PAYLOAD))
        return;
    memcpy(fieldmap, recv_buf + TAG_SIZE, MAP_BYTES);
}

void unpack_smoke()
{
    if (!message_holds(SMOKE_PAYLOAD))
        return;
    for (int j = 0; j < SMOKE_MAX; j++)
        decode_smoke_entry(recv_buf + TAG_SIZE + SMOKE_ENTRY_BYTES * j, smoke[j]);
}

void unpack_hiscore()
{
    if (!message_holds(WORD_PAYLOAD))
        return;
    hiscore = payload_word(0);
}

// Taking part: the own car's status, as the last car message left it, is not PS_NONE.
static bool taking_part()
{
    return me->status != PS_NONE;
}

void on_lobby()
{
    if (!message_holds(WORD_PAYLOAD))
        return;
    status_count = payload_word(0);
    game_status = GS_LOBBY;
}

void on_ready()
{
    if (!message_holds(WORD_PAYLOAD))
        return;
    status_count = payload_word(0);
    game_status = taking_part() ? GS_READY : GS_LIVE;
}

void on_start()
{
    if (!message_holds(WORD_PAYLOAD))
        return;
    status_count = 0;
    game_status = taking_part() ? GS_PLAY : GS_LIVE;
    round_no = payload_word(0);
}

void on_stage_clear()
{
    status_count = 0;
    if (taking_part())
        game_status = GS_STAGE_CLEARED;
}

void on_round_result()
{
    if (!message_holds(WORD_PAYLOAD))
        return;
    status_count = 0;
    game_status = GS_ROUND_RESULT;
    result_highlight = payload_word(0);
}

void on_final_result()
{
    status_count = 0;
    game_status = GS_FINAL_RESULT;
}

void on_live()
{
    status_count = 0;
    game_status = GS_LIVE;
}

void on_game_over()
{
    status_count = 0;
    if (taking_part())
        game_status = GS_GAME_OVER;
}

void on_quit()
{
    close_and_exit(0, 1, &sock);
}

void on_pause()
{
    if (game_status == GS_PLAY)
        game_status = GS_PAUSE;
    else if (game_status == GS_PAUSE)
        game_status = GS_PLAY;
}
