// Checks that the shapes whose corners are computed on the CPU (field cells, wall
// borders and smoke puffs) put every corner exactly where the matrix path puts it. Both are drawn
// in OpenGL's feedback mode, which returns the window position of every vertex as the driver's
// vertex pipeline computed it, for many random places, sizes and window sizes; the floats must
// agree bit for bit. It also shows the check can fail: a variant rounded once less must disagree
// somewhere. Usage: perf_vertices [CASES]   (default 100000 per shape; needs an X display)
#include <GL/freeglut.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <random>
#include <vector>

#include "game/model.h"
#include "render/shapes.h"

namespace {

struct point {
    double x, y;
};

const point unit_square[] = {{-1, -1}, {-1, 1}, {1, 1}, {1, -1}};
const point octagon[] = {{-0.5, -1}, {-1, -0.5}, {-1, 0.5}, {-0.5, 1},
                         {0.5, 1},   {1, 0.5},   {1, -0.5}, {0.5, -1}};
const point smoke_offsets[] = {{-0.3, -0.3}, {-0.7, 0.5}, {0.3, 0.6}, {0.7, -0.5}};

void polygon(const point *v, int n)
{
    glBegin(GL_POLYGON);
    for (int i = 0; i < n; i++)
        glVertex2d(v[i].x, v[i].y);
    glEnd();
}

// The matrix path, as the shapes drew before their corners were computed.
void matrix_tile(double x, double y)
{
    glPushMatrix();
    glTranslated(x, y, 0);
    glScaled(0.1, 0.1, 1);
    polygon(unit_square, 4);
    glPopMatrix();
}

void matrix_puff(double x, double y, int size)
{
    double s = size * 0.012;
    s *= 0.1;
    glPushMatrix();
    glTranslated(x, y, 0);
    glScaled(s, s, 1);
    for (const point &o : smoke_offsets) {
        glPushMatrix();
        glTranslated(o.x, o.y, 0);
        polygon(octagon, 8);
        glPopMatrix();
    }
    glPopMatrix();
}

// The four borders of a lone wall, as the matrix path drew them.
void matrix_edges(int column, int row)
{
    glPushMatrix();
    glTranslated(((column + 0.5) * CELL_SIZE - me->x) * FIELD_SCALE,
                 (me->y - (row + 0.5) * CELL_SIZE) * FIELD_SCALE, 0);
    glScaled(0.1, 0.1, 1);
    for (float angle : {0.0f, 180.0f, 90.0f, -90.0f}) {
        glPushMatrix();
        glRotatef(angle, 0, 0, 1);
        glBegin(GL_LINES);
        glVertex2d(-1, 1);
        glVertex2d(1, 1);
        glEnd();
        glPopMatrix();
    }
    glPopMatrix();
}

// A puff rounded once less than OpenGL rounds it: must be caught.
void careless_puff(double x, double y, int size)
{
    double s = size * 0.012;
    s *= 0.1;
    for (const point &o : smoke_offsets) {
        glBegin(GL_POLYGON);
        for (const point &v : octagon)
            glVertex2f(static_cast<float>(x + s * o.x + s * v.x),
                       static_cast<float>(y + s * o.y + s * v.y));
        glEnd();
    }
}

std::vector<GLfloat> feedback(const std::function<void()> &draw)
{
    static std::vector<GLfloat> buf(1 << 16);
    glFeedbackBuffer(static_cast<GLsizei>(buf.size()), GL_2D, buf.data());
    glRenderMode(GL_FEEDBACK);
    draw();
    int n = glRenderMode(GL_RENDER);
    if (n < 0)
        n = 0;
    return std::vector<GLfloat>(buf.begin(), buf.begin() + n);
}

bool same_bits(const std::vector<GLfloat> &a, const std::vector<GLfloat> &b)
{
    return a.size() == b.size() &&
           (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(GLfloat)) == 0);
}

}  // namespace

int main(int argc, char **argv)
{
    if (!getenv("DISPLAY")) {
        fprintf(stderr, "no X display\n");
        return 1;
    }
    int cases = argc > 1 ? atoi(argv[1]) : 100000;
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGB);
    glutInitWindowSize(1800, 1400);
    glutCreateWindow("perf_vertices");
    glutDisplayFunc([] {});
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> place(-1.05, 1.05);
    std::uniform_int_distribution<int> puff_size(1, 160);
    std::uniform_int_distribution<int> side(100, 1280);
    long tile_diff = 0, edge_diff = 0, puff_diff = 0, careless_diff = 0;
    me = &players[0];
    std::uniform_int_distribution<int> world(-200, 4000);
    std::uniform_int_distribution<int> cell_column(1, MAP_W - 2), cell_row(1, MAP_H - 2);
    for (int i = 0; i < cases; i++) {
        int w = side(rng);
        glViewport(3, 7, w, w);
        double x = place(rng), y = place(rng);
        // Centres on the field's grid of cells, as the playfield computes them.
        double cx = ((i % 32 + 0.5) * CELL_SIZE - (x * 1000 + 1000)) * FIELD_SCALE;
        double cy = ((i % 56 + 0.5) * CELL_SIZE - (y * 1000 + 1800)) * FIELD_SCALE;
        tile_diff += !same_bits(feedback([&] { matrix_tile(cx, cy); }),
                                feedback([&] { draw_tile(cx, cy); }));
        tile_diff +=
            !same_bits(feedback([&] { matrix_tile(x, y); }), feedback([&] { draw_tile(x, y); }));
        me->x = world(rng);
        me->y = world(rng);
        int column = cell_column(rng), row = cell_row(rng);
        memset(fieldmap, CELL_ROAD, sizeof fieldmap);
        fieldmap[row][column] = CELL_WALL;
        edge_diff += !same_bits(feedback([&] { matrix_edges(column, row); }),
                                feedback([&] { draw_wall_edges(column, row); }));
        int size = puff_size(rng);
        auto reference = feedback([&] { matrix_puff(x, y, size); });
        puff_diff += !same_bits(reference, feedback([&] { draw_smoke_puff(x, y, size); }));
        careless_diff += !same_bits(reference, feedback([&] { careless_puff(x, y, size); }));
    }
    printf("vertex check, %d cases per shape: cells %ld differ, wall borders %ld, smoke puffs %ld; "
           "a puff rounded once less differs in %ld (must be > 0)\n",
           cases, tile_diff, edge_diff, puff_diff, careless_diff);
    return tile_diff == 0 && edge_diff == 0 && puff_diff == 0 && careless_diff > 0 ? 0 : 1;
}
