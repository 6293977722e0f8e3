// The flat vector shapes everything on the field and the panel icons are drawn from.
// Each is defined in its own unit frame and placed by rotate, scale, translate.
#pragma once

#include "game/model.h"

constexpr double FIELD_SCALE = 0.003125;  // field-viewport units per world unit

void draw_field_background();
void draw_tile(double x, double y);
void draw_wall(int column, int row);
void draw_wall_edges(int column, int row);
void draw_edge_line(double angle);
void draw_flag();
void draw_flag_cell(double x, double y);
void draw_flag_l_cell(double x, double y);
void draw_flag_s_cell(double x, double y);
void draw_rock(double x, double y);
void draw_car(const playerinfo *car);
void draw_own_car();
void draw_car_body();
void draw_burst(const playerinfo *car);
void draw_smoke_puff(double x, double y, int size);
// A run of puffs under one switch of additive blending, drawn as draw_smoke_puff draws
// each: begin_smoke, the puffs in order, end_smoke.
void begin_smoke();
void draw_smoke_puff_in_run(double x, double y, int size);
void end_smoke();
void draw_octagon(double ox, double oy);
void draw_spare_car(double x, double y);
void draw_flag_icon(double x, double y, double c, int crossed);
