// Start-up: the server prompt, the two handler tables and the window with its
// callbacks.
#include "startup/startup.h"

#include <GL/freeglut.h>
#include <cstdio>
#include <cstring>

#include "game/status.h"
#include "input/keyboard.h"
#include "net/framing.h"
#include "net/messages.h"
#include "render/window.h"

char *strip_newline(char *text, int size)
{
    size_t len = strlen(text);
    if (len < static_cast<size_t>(size) && len >= 1 && text[len - 1] == '\n')
        text[len - 1] = '\0';
    return text;
}

void read_console_line(char *buf, int size)
{
    buf[0] = '\0';
    if (!fgets(buf, size, stdin))
        buf[0] = '\0';
}

void ask_server(char *line)
{
    fputs("server name or IP  [127.0.0.1]: ", stdout);
    fflush(stdout);
    read_console_line(line, SERVER_LINE_SIZE);
    if (strlen(line) < 2)
        snprintf(line, SERVER_LINE_SIZE, "%s", DEFAULT_SERVER);
    strip_newline(line, SERVER_LINE_SIZE);
}

void install_handlers()
{
    tag_handlers[TAG_KEYS] = nullptr;
    tag_handlers[TAG_PLAYERINFO] = unpack_playerinfo;
    tag_handlers[TAG_PLAYERINFO2] = unpack_playerinfo2;
    tag_handlers[TAG_ROUNDINFO] = unpack_roundinfo;
    tag_handlers[TAG_MAP] = unpack_map;
    tag_handlers[TAG_SMOKE] = unpack_smoke;
    tag_handlers[TAG_HISCORE] = unpack_hiscore;
    tag_handlers[TAG_LOBBY] = on_lobby;
    tag_handlers[TAG_READY] = on_ready;
    tag_handlers[TAG_START] = on_start;
    tag_handlers[TAG_STAGE_CLEAR] = on_stage_clear;
    tag_handlers[TAG_ROUND_RESULT] = on_round_result;
    tag_handlers[TAG_FINAL_RESULT] = on_final_result;
    tag_handlers[TAG_LIVE] = on_live;
    tag_handlers[TAG_GAME_OVER] = on_game_over;
    tag_handlers[TAG_QUIT] = on_quit;
    tag_handlers[TAG_PAUSE] = on_pause;

    status_handlers[GS_LOBBY] = status_lobby;
    status_handlers[GS_READY] = status_ready;
    status_handlers[GS_PLAY] = status_play;
    status_handlers[GS_STAGE_CLEARED] = status_stage_cleared;
    status_handlers[GS_ROUND_RESULT] = status_round_result;
    status_handlers[GS_FINAL_RESULT] = status_final_result;
    status_handlers[GS_LIVE] = status_live;
    status_handlers[GS_GAME_OVER] = status_game_over;
    status_handlers[8] = nullptr;  // there is no status 8
    status_handlers[GS_PAUSE] = status_pause;
}

void init_window(int argc, char **argv)
{
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGB);
    glutInitWindowSize(WINDOW_W, WINDOW_H);
    char title[32];
    snprintf(title, sizeof title, "Mazecar client (ID:%02d)", player_index(me));
    glutCreateWindow(title);
    window_open = true;
    select_screen(display_lobby);
    glutTimerFunc(TICK_MS, tick, 0);
    glutKeyboardFunc(key_down);
    glutKeyboardUpFunc(key_up);
    glutSpecialFunc(special_down);
    glutSpecialUpFunc(special_up);
    glutIgnoreKeyRepeat(1);
    glClearColor(0.0f, 0.0f, 0.3f, 0.0f);
    glutReshapeFunc(reshape);
    glutMainLoop();
}
