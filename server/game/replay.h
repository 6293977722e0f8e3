// Playing a game again from its replay: the game as it stood when it began, then the
// inputs of each step exactly as the game took them, so every step comes out as it did.
#pragma once

#include <memory>
#include <string>

#include "game/game.h"

class replay_reader {
public:
    // Reads the replay's start and sets up the game as it stood then (with no log, holding
    // its final result back until record_done, as a game with a store does). False, with
    // why, when the bytes are no replay this server can play: every count, place and
    // length in them is checked before it is used.
    bool open(std::string bytes, std::shared_ptr<path_scratch> scratch = nullptr);
    // Gives the game the inputs of its next step and takes that step. False once the
    // replay is over (the inputs noted at the step the game was kept are applied and that
    // step is not taken) or found malformed (why is set).
    bool next();
    bool ended() const { return ended_; }
    long steps() const { return step_; }

    std::unique_ptr<game> g;
    std::string why;

private:
    bool fail(const char *what);
    bool read_byte(int &value);
    bool read_number(uint32_t &value);
    bool read_name(char name[NAME_BYTES]);
    bool read_places();
    bool read_head();
    bool apply(int code);

    std::string bytes_;
    size_t pos_ = 0;
    long step_ = 0;
    long entry_step_ = 0;  // the step of the entry waiting in code_
    int code_ = -1;
    bool ended_ = false;
};
