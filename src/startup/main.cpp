// The mazecar client: asks for the server, checks the player in, opens the window
// and runs the game until the server says quit.
#include <cstdlib>

#include "net/framing.h"
#include "sound/sound.h"
#include "startup/checkin.h"
#include "startup/shutdown.h"
#include "startup/startup.h"

int main(int argc, char **argv)
{
    char server[SERVER_LINE_SIZE];
    ask_server(server);
    sock = connect_server(server, SERVER_PORT);
    if (sock == -1)
        exit(1);
    install_handlers();
    check_in();
    sound_init();
    init_window(argc, argv);
    close_and_exit(0, 1, &sock);
}
