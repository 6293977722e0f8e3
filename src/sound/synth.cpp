// Synthesis of every sound from a small table of notes. Tones are a sine with a
// little of its second and third harmonics; noise is a fixed pseudo-random sequence
// through a one-pole low-pass. Each note fades in and out over a few milliseconds so
// nothing clicks.
#include "sound/synth.h"

#include <cmath>

namespace {

enum wave_kind { TONE, NOISE };

constexpr int MAX_NOTES = 4;
constexpr int FADE_SAMPLES = SYNTH_RATE / 200;  // 5 ms in and out
constexpr double PI = 3.14159265358979323846;

struct note {
    double hz_from, hz_to;  // a slide when they differ; 0 is a rest
    int ms;
};

struct recipe {
    wave_kind kind;
    double gain;      // peak, of full scale
    double decay_ms;  // exponential decay of each note; 0 holds the level
    double lowpass;   // noise: smoothing factor of the low-pass, 0..1 (higher is darker)
    note notes[MAX_NOTES];
};

// Indexed by sound_id. The engine is ten periods of 110.25 Hz (200 samples each), so
// its loop joins without a seam.
const recipe recipes[SND_COUNT] = {
    /* SND_COUNTDOWN */ {TONE, 0.5, 0, 0, {{440, 440, 150}}},
    /* SND_GO */ {TONE, 0.55, 500, 0, {{880, 880, 400}}},
    /* SND_FLAG */ {TONE, 0.45, 0, 0, {{1047, 1047, 80}, {1319, 1319, 90}}},
    /* SND_MARKED_FLAG */
    {TONE, 0.45, 0, 0, {{1047, 1047, 70}, {1319, 1319, 70}, {1568, 1568, 70}, {2093, 2093, 130}}},
    /* SND_BURST */ {NOISE, 0.8, 250, 0.55, {{1, 1, 600}}},
    /* SND_SMOKE */ {NOISE, 0.3, 80, 0.85, {{1, 1, 150}}},
    /* SND_FUEL_LOW */ {TONE, 0.4, 0, 0, {{1200, 1200, 60}, {0, 0, 40}, {1200, 1200, 60}}},
    /* SND_FUEL_EMPTY */ {TONE, 0.5, 0, 0, {{600, 150, 500}}},
    /* SND_STAGE_CLEAR */
    {TONE, 0.5, 0, 0, {{523, 523, 100}, {659, 659, 100}, {784, 784, 100}, {1047, 1047, 300}}},
    /* SND_RESULT */ {TONE, 0.45, 0, 0, {{784, 784, 150}, {1047, 1047, 250}}},
    /* SND_GAME_OVER */ {TONE, 0.5, 0, 0, {{392, 392, 250}, {330, 330, 250}, {262, 262, 500}}},
    /* SND_ENGINE */ {TONE, 0.12, 0, 0, {{SYNTH_RATE / 200.0, SYNTH_RATE / 200.0, 0}}},
};

constexpr int ENGINE_SAMPLES = 2000;
constexpr int POOL_SAMPLES = 5 * SYNTH_RATE;  // room for every recipe above

int16_t pool[POOL_SAMPLES];
pcm_span spans[SND_COUNT];

int note_samples(const recipe &r, const note &n)
{
    if (n.hz_from == 0 && n.ms == 0)  // an unused entry of the note list
        return 0;
    return &r == &recipes[SND_ENGINE] ? ENGINE_SAMPLES : n.ms * SYNTH_RATE / 1000;
}

int recipe_samples(const recipe &r)
{
    int total = 0;
    for (const note &n : r.notes)
        total += note_samples(r, n);
    return total;
}

double tone(double phase)
{
    return 0.75 * sin(phase) + 0.18 * sin(2 * phase) + 0.07 * sin(3 * phase);
}

// Fills out[0 .. count) with one note. noise_state carries the generator between
// notes; the engine (no fade, no decay) must begin and end mid-wave.
void render_note(const recipe &r, const note &n, bool fade, int16_t *out, int count,
                 uint32_t &noise_state)
{
    double phase = 0, smooth = 0;
    for (int i = 0; i < count; i++) {
        double t = static_cast<double>(i) / count;
        double hz = n.hz_from + (n.hz_to - n.hz_from) * t;
        double v = 0;
        if (n.hz_from > 0 && r.kind == TONE) {
            v = tone(phase);
            phase += 2 * PI * hz / SYNTH_RATE;
        } else if (n.hz_from > 0) {
            noise_state = noise_state * 1664525u + 1013904223u;
            double white = static_cast<double>(noise_state >> 8) / (1u << 23) - 1.0;
            smooth = r.lowpass * smooth + (1 - r.lowpass) * white;
            v = smooth * 2.5;  // the low-pass takes level away; give it back
        }
        double level = r.gain;
        if (r.decay_ms > 0)
            level *= exp(-(i * 1000.0 / SYNTH_RATE) / r.decay_ms);
        if (fade) {
            if (i < FADE_SAMPLES)
                level *= static_cast<double>(i) / FADE_SAMPLES;
            if (count - 1 - i < FADE_SAMPLES)
                level *= static_cast<double>(count - 1 - i) / FADE_SAMPLES;
        }
        double s = std::fmax(-1.0, std::fmin(1.0, v * level));
        out[i] = static_cast<int16_t>(lrint(s * 32767));
    }
}

}  // namespace

void synthesize_sounds()
{
    int at = 0;
    for (int id = 0; id < SND_COUNT; id++) {
        const recipe &r = recipes[id];
        int total = recipe_samples(r);
        if (at + total > POOL_SAMPLES) {  // cannot happen with the table above
            spans[id] = pcm_span{pool, 0};
            continue;
        }
        uint32_t noise_state = 0x2545f491u + static_cast<uint32_t>(id);
        int start = at;
        for (const note &n : r.notes) {
            int count = note_samples(r, n);
            render_note(r, n, id != SND_ENGINE, pool + at, count, noise_state);
            at += count;
        }
        spans[id] = pcm_span{pool + start, total};
    }
}

pcm_span sound_pcm(int id)
{
    if (id < 0 || id >= SND_COUNT)
        return pcm_span{pool, 0};
    return spans[id];
}
