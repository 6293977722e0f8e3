// The player's sound settings, kept between runs in $XDG_CONFIG_HOME/mazecar/sound
// (~/.config/mazecar/sound when XDG_CONFIG_HOME is unset or not absolute).
#pragma once

struct sound_settings {
    double volume;  // 0 .. 1
    bool muted;
};

constexpr sound_settings DEFAULT_SETTINGS = {0.8, false};
constexpr int SETTINGS_PATH_SIZE = 4096;

// The settings file's path into path; false when no home directory is known or the
// path does not fit.
bool settings_path(char *path, int size);

// The settings in the file at path. A missing or unreadable file, unknown lines and
// values out of range leave the defaults in their place.
sound_settings read_settings(const char *path);

// Writes the settings to path through a temporary file and a rename, so a reader
// never sees half a file; creates the two directories above it when missing. False
// when it could not.
bool write_settings(const char *path, const sound_settings &settings);
