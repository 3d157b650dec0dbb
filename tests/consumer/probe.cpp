// Uses the installed headers only: the facade, the tables and an exception type.
// Built into a shared object of the consumer, so the library must be linkable
// into one, and its exceptions must be catchable on this side.
#include <Moorwinch.h>
#include <MoorwinchProtocol.h>

#include <iostream>

int moorwinchProbe() {
    KORVANE::Moorwinch winch;
    winch.printVersionDetails(std::cout);
    try {
        winch.openConnection("/nonexistent/moorwinch-port");
    } catch (const KORVANE::IOException& e) {
        std::cout << e.what() << "\n";
    }
    std::cout << mw_command.key << "\n";
    return winch.isConnected() ? 1 : 0;
}
