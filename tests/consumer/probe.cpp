// Uses the installed headers only: the facade, the tables and an exception
// type, and the history library. Built into a shared object of the consumer, so
// the libraries (and Debian's SQLiteCpp archive) must be linkable into one, and
// their exceptions must be catchable on this side.
#include <Moorwinch.h>
#include <MoorwinchHistory.h>
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
    try {
        KORVANE::MoorwinchHistory::Reader reader("/nonexistent/history.db");
    } catch (const KORVANE::MoorwinchHistory::FileError& e) {
        std::cout << "History: " << e.what() << "\n";
    }
    return winch.isConnected() ? 1 : 0;
}
