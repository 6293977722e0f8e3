// A stand-in for the few OpenGL and GLUT calls the client's drawing code makes,
// linked into the fuzz targets instead of Mesa and freeglut. It draws nothing; it
// only enforces the rules a real GL would report as errors (matrix stack, begin/end
// pairing, list ranges, viewport sizes) and ends the run when one is broken.
#pragma once

// Call after a screen callback has returned: the frame must have been swapped with
// every matrix popped and no primitive open.
void gl_stub_check_frame_done();

// Frames swapped and vertices sent since the last reset.
long gl_stub_frames();
long gl_stub_vertices();
void gl_stub_reset_counts();
