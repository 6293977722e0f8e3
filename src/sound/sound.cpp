// The audio device, the prepared sources and what the tick asks of them. Every
// buffer and source is made once at start; a tick with an event rewinds a source,
// gives it its buffer and plays it: a few calls that hand the change to the library's
// mixing thread (under a lock the mixer holds only while it mixes one short update).
#include "sound/sound.h"

#include <AL/al.h>
#include <AL/alc.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "sound/events.h"
#include "sound/settings.h"
#include "sound/synth.h"

namespace {

constexpr int VOICE_COUNT = 6;           // sounds that can overlap; the oldest gives way
constexpr int ENGINE_HOLD_TICKS = 30;    // the engine note outlasts the last move by this
constexpr int FUEL_WARNING_PERIOD = 90;  // ticks between warnings: every third blink cycle

ALCdevice *device;
ALCcontext *context;
ALuint buffers[SND_COUNT];
ALuint voices[VOICE_COUNT];
ALuint engine_voice;
int next_voice;
bool running;
bool engine_playing;
int engine_hold;
int fuel_warning_ticks;

sound_settings settings = DEFAULT_SETTINGS;
char settings_file[SETTINGS_PATH_SIZE];
bool have_settings_file;
bool save_failure_told;

sound_view view_before;
sound_view view_after;

// The audio libraries print their own complaints about missing devices (several
// lines); the player gets one line from us instead, so standard error goes to
// /dev/null while the device opens, and the library's own log stays quiet later
// unless ALSOFT_LOGLEVEL asks for it.
bool open_device()
{
    setenv("ALSOFT_LOGLEVEL", "0", 0);
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && quiet >= 0)
        dup2(quiet, STDERR_FILENO);
    if (quiet >= 0)
        close(quiet);
    device = alcOpenDevice(nullptr);
    if (device) {
        context = alcCreateContext(device, nullptr);
        if (!context || !alcMakeContextCurrent(context)) {
            if (context)
                alcDestroyContext(context);
            alcCloseDevice(device);
            context = nullptr;
            device = nullptr;
        }
    }
    fflush(stderr);
    if (saved >= 0) {
        dup2(saved, STDERR_FILENO);
        close(saved);
    }
    return device != nullptr;
}

void close_device()
{
    running = false;
    alcMakeContextCurrent(nullptr);
    if (context)
        alcDestroyContext(context);
    if (device)
        alcCloseDevice(device);
    context = nullptr;
    device = nullptr;
}

// Buffers of every sound and the sources that play them; false on any error.
bool prepare_sources()
{
    synthesize_sounds();
    alGetError();
    alGenBuffers(SND_COUNT, buffers);
    for (int id = 0; id < SND_COUNT; id++) {
        pcm_span pcm = sound_pcm(id);
        alBufferData(buffers[id], AL_FORMAT_MONO16, pcm.samples,
                     pcm.count * static_cast<ALsizei>(sizeof(int16_t)), SYNTH_RATE);
    }
    alGenSources(VOICE_COUNT, voices);
    alGenSources(1, &engine_voice);
    alSourcei(engine_voice, AL_BUFFER, static_cast<ALint>(buffers[SND_ENGINE]));
    alSourcei(engine_voice, AL_LOOPING, AL_TRUE);
    return alGetError() == AL_NO_ERROR;
}

void apply_gain()
{
    alListenerf(AL_GAIN, settings.muted ? 0.0f : static_cast<float>(settings.volume));
}

void play(int id)
{
    ALuint voice = voices[next_voice];
    next_voice = (next_voice + 1) % VOICE_COUNT;
    alSourceRewind(voice);
    alSourcei(voice, AL_BUFFER, static_cast<ALint>(buffers[id]));
    alSourcePlay(voice);
}

void drive_engine(bool moved)
{
    if (moved)
        engine_hold = ENGINE_HOLD_TICKS;
    else if (engine_hold > 0)
        engine_hold--;
    bool want = engine_hold > 0;
    if (want == engine_playing)
        return;
    engine_playing = want;
    if (want)
        alSourcePlay(engine_voice);
    else
        alSourceStop(engine_voice);
}

// The warning sounds when it appears and again every FUEL_WARNING_PERIOD ticks
// while the panel shows it.
void drive_fuel_warning(uint32_t events)
{
    if (!fuel_warning_shown(view_after)) {
        fuel_warning_ticks = 0;
        return;
    }
    if (events & EV_FUEL_LOW)
        fuel_warning_ticks = 0;
    else if (++fuel_warning_ticks < FUEL_WARNING_PERIOD)
        return;
    fuel_warning_ticks = 0;
    play(SND_FUEL_LOW);
}

struct event_sound {
    uint32_t event;
    int id;
};

const event_sound event_sounds[] = {
    {EV_COUNTDOWN, SND_COUNTDOWN},
    {EV_GO, SND_GO},
    {EV_FLAG, SND_FLAG},
    {EV_MARKED_FLAG, SND_MARKED_FLAG},
    {EV_BURST, SND_BURST},
    {EV_SMOKE, SND_SMOKE},
    {EV_FUEL_EMPTY, SND_FUEL_EMPTY},
    {EV_STAGE_CLEAR, SND_STAGE_CLEAR},
    {EV_RESULT, SND_RESULT},
    {EV_GAME_OVER, SND_GAME_OVER},
};

}  // namespace

void sound_init()
{
    const char *audio = getenv("MAZECAR_AUDIO");
    if (audio && strcmp(audio, "off") == 0)
        return;
    if (!open_device()) {
        fputs("mazecar: no audio device; playing without sound\n", stderr);
        return;
    }
    if (!prepare_sources()) {
        close_device();
        fputs("mazecar: the audio device refused the sounds; playing without sound\n", stderr);
        return;
    }
    have_settings_file = settings_path(settings_file, sizeof settings_file);
    if (have_settings_file)
        settings = read_settings(settings_file);
    apply_gain();
    take_view(view_before);
    running = true;
    // The device is closed on every way out, so a recording to a file is complete.
    atexit(close_device);
}

bool sound_running()
{
    return running;
}

void sound_watch_before()
{
    if (running)
        take_view(view_before);
}

void sound_watch_after()
{
    if (!running)
        return;
    take_view(view_after);
    uint32_t events = detect_events(view_before, view_after);
    for (const event_sound &e : event_sounds)
        if (events & e.event)
            play(e.id);
    drive_fuel_warning(events);
    drive_engine((events & EV_MOVED) != 0);
}

void sound_toggle_mute()
{
    if (!running)
        return;
    settings.muted = !settings.muted;
    apply_gain();
    if (have_settings_file && !write_settings(settings_file, settings) && !save_failure_told) {
        fprintf(stderr, "mazecar: could not save the sound settings to %s\n", settings_file);
        save_failure_told = true;
    }
}
