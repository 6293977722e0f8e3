// Reading and writing the sound settings file: two lines, "volume 0.8" and
// "muted 0". The file is the player's to edit, so everything in it is checked.
#include "sound/settings.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

constexpr int SETTINGS_FILE_MAX = 512;  // bytes read; the file is two short lines

static bool absolute(const char *dir)
{
    return dir && dir[0] == '/';
}

bool settings_path(char *path, int size)
{
    const char *config = getenv("XDG_CONFIG_HOME");
    const char *home = getenv("HOME");
    int n;
    if (absolute(config))
        n = snprintf(path, static_cast<size_t>(size), "%s/mazecar/sound", config);
    else if (absolute(home))
        n = snprintf(path, static_cast<size_t>(size), "%s/.config/mazecar/sound", home);
    else
        return false;
    return n > 0 && n < size;
}

// Applies one "key value" line; anything else is ignored.
static void apply_line(const char *line, sound_settings &s)
{
    char *end = nullptr;
    if (strncmp(line, "volume ", 7) == 0) {
        double v = strtod(line + 7, &end);
        if (end != line + 7 && std::isfinite(v) && v >= 0.0 && v <= 1.0)
            s.volume = v;
    } else if (strncmp(line, "muted ", 6) == 0) {
        long m = strtol(line + 6, &end, 10);
        if (end != line + 6 && (m == 0 || m == 1))
            s.muted = m == 1;
    }
}

sound_settings read_settings(const char *path)
{
    sound_settings s = DEFAULT_SETTINGS;
    FILE *f = fopen(path, "r");
    if (!f)
        return s;
    char text[SETTINGS_FILE_MAX + 1];
    size_t n = fread(text, 1, SETTINGS_FILE_MAX, f);
    fclose(f);
    text[n] = '\0';
    for (char *line = text; line && *line;) {
        char *next = strchr(line, '\n');
        if (next)
            *next++ = '\0';
        apply_line(line, s);
        line = next;
    }
    return s;
}

// Creates the directory holding path (and its parent) when missing.
static bool make_parent_dirs(const char *path)
{
    char dir[SETTINGS_PATH_SIZE];
    if (snprintf(dir, sizeof dir, "%s", path) >= static_cast<int>(sizeof dir))
        return false;
    char *slash = strrchr(dir, '/');
    if (!slash || slash == dir)
        return false;
    *slash = '\0';
    char *upper = strrchr(dir, '/');
    if (upper && upper != dir) {
        *upper = '\0';
        if (mkdir(dir, 0700) != 0 && errno != EEXIST)
            return false;
        *upper = '/';
    }
    return mkdir(dir, 0700) == 0 || errno == EEXIST;
}

bool write_settings(const char *path, const sound_settings &settings)
{
    if (!make_parent_dirs(path))
        return false;
    char temp[SETTINGS_PATH_SIZE + 32];
    snprintf(temp, sizeof temp, "%s.%ld.tmp", path, static_cast<long>(getpid()));
    FILE *f = fopen(temp, "w");
    if (!f)
        return false;
    bool ok = fprintf(f, "volume %.2f\nmuted %d\n", settings.volume, settings.muted ? 1 : 0) > 0;
    ok = fflush(f) == 0 && ok;
    ok = fsync(fileno(f)) == 0 && ok;
    ok = fclose(f) == 0 && ok;
    if (ok && rename(temp, path) == 0)
        return true;
    unlink(temp);
    return false;
}
