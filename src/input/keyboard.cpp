// Keyboard control. The client gives the keys no meaning: a bit is set while its key
// is held and the whole word goes to the server on every press and release.
#include "input/keyboard.h"

#include <GL/freeglut.h>

#include "game/model.h"
#include "net/framing.h"
#include "sound/sound.h"

constexpr unsigned char MUTE_KEY = 'm';

// Bit of an ASCII key on press; 0 for keys that are not control keys.
static int32_t ascii_key_bit(unsigned char key)
{
    switch (key) {
    case ' ': return KEY_SPACE;
    case 'q': return KEY_Q;
    case 's': return KEY_S;
    default: return 0;
    }
}

// Bit an ASCII key release clears. The character of a release is decided when the
// key comes up, so 's' released while Shift is held arrives as 'S': releasing 'Q'
// or 'S' clears the bit too, or it would stay set for ever at the server.
static int32_t ascii_release_bit(unsigned char key)
{
    switch (key) {
    case 'Q': return KEY_Q;
    case 'S': return KEY_S;
    default: return ascii_key_bit(key);
    }
}

static int32_t special_key_bit(int key)
{
    switch (key) {
    case GLUT_KEY_UP: return KEY_UP;
    case GLUT_KEY_DOWN: return KEY_DOWN;
    case GLUT_KEY_LEFT: return KEY_LEFT;
    case GLUT_KEY_RIGHT: return KEY_RIGHT;
    default: return 0;
    }
}

void key_down(unsigned char key, int, int)
{
    if (key == MUTE_KEY)
        sound_toggle_mute();  // local only: the key word goes out unchanged below
    me->keys |= ascii_key_bit(key);
    send_keys(me->keys);
}

void key_up(unsigned char key, int, int)
{
    me->keys &= ~ascii_release_bit(key);
    send_keys(me->keys);
}

void special_down(int key, int, int)
{
    if (game_status == GS_PAUSE)
        return;
    me->keys |= special_key_bit(key);
    send_keys(me->keys);
}

void special_up(int key, int, int)
{
    me->keys &= ~special_key_bit(key);
    send_keys(me->keys);
}
