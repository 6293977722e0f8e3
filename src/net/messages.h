// The handlers of the sixteen server messages: data messages copy into the game
// model, status messages move game_status and status_count, one ends the client.
// Each reads its message from recv_buf and is called only by poll_server.
#pragma once

void unpack_playerinfo();
void unpack_playerinfo2();
void unpack_roundinfo();
void unpack_map();
void unpack_smoke();
void unpack_hiscore();
void on_lobby();
void on_ready();
void on_start();
void on_stage_clear();
void on_round_result();
void on_final_result();
void on_live();
void on_game_over();
void on_quit();
void on_pause();
