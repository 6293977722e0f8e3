// Keyboard control: the four GLUT keyboard callbacks keep me->keys and send the
// whole word to the server after every event.
#pragma once

void key_down(unsigned char key, int x, int y);
void key_up(unsigned char key, int x, int y);
void special_down(int key, int x, int y);
void special_up(int key, int x, int y);
