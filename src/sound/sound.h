// Sound: the game's events heard as short synthesized tones and noise bursts. Sound
// only watches the model around each tick; it never changes it. Mixing runs on the
// audio library's own thread; what the tick does here is compare a few words and, on
// an event, start a prepared source.
#pragma once

// Opens the audio device and prepares every sound, unless MAZECAR_AUDIO is "off".
// Without a device the game goes on silent after one line on standard error.
void sound_init();

// The tick calls these around its message and status handling.
void sound_watch_before();
void sound_watch_after();

// The `m` key: mutes or unmutes and remembers the choice. Does nothing while sound is
// off.
void sound_toggle_mute();

// True while a device is open and sound is on (muted or not).
bool sound_running();
