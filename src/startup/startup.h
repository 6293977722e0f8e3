// Start-up: the console dialogue, the handler tables and the window.
#pragma once

constexpr int SERVER_LINE_SIZE = 128;  // bytes of the line typed at the server prompt
constexpr int NAME_LINE_SIZE = 16;     // bytes of the name line
constexpr const char *DEFAULT_SERVER = "127.0.0.1";
constexpr int WINDOW_W = 450;  // initial window size, pixels
constexpr int WINDOW_H = 350;

// Removes one trailing newline from a line read into a buffer of size bytes.
char *strip_newline(char *text, int size);

// Reads one console line into buf (size bytes). End of input with nothing read gives
// an empty line; nothing left in buf from before is ever used.
void read_console_line(char *buf, int size);

// Asks for the server on the console; fills line with the name or address to use.
void ask_server(char *line);

// Fills tag_handlers and status_handlers. Calls no handler.
void install_handlers();

// Creates the window, registers every callback and enters the main loop.
void init_window(int argc, char **argv);
