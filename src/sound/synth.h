// The game's sounds, synthesized at start into one fixed pool: short tones, chirps
// and noise bursts, 16-bit mono. Nothing is read from disk.
#pragma once

#include <cstdint>

enum sound_id {
    SND_COUNTDOWN,
    SND_GO,
    SND_FLAG,
    SND_MARKED_FLAG,
    SND_BURST,
    SND_SMOKE,
    SND_FUEL_LOW,
    SND_FUEL_EMPTY,
    SND_STAGE_CLEAR,
    SND_RESULT,
    SND_GAME_OVER,
    SND_ENGINE,  // a seamless loop of whole periods
    SND_COUNT,
};

constexpr int SYNTH_RATE = 22050;  // samples per second

struct pcm_span {
    const int16_t *samples;
    int count;
};

// Fills the pool; calling it again gives the same samples.
void synthesize_sounds();

// The samples of one sound (empty before synthesize_sounds or for an unknown id).
pcm_span sound_pcm(int id);
