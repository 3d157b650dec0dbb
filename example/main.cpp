// MoorwinchExample: shows how the Korvane Moorwinch library is used. It lists the
// serial ports, asks for one, connects, and walks once through status,
// configuration, health checks and product details.
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <Moorwinch.h>

namespace {

void printHeader() {
    const std::string title = "# Korvane Moorwinch Library usage example #";
    const std::string frame(title.size(), '#');
    std::cout << frame << std::endl
              << title << std::endl
              << frame << std::endl
              << std::endl
              << "This example applications shows, how Korvane Moorwinch library can be used." << std::endl
              << std::endl
              << std::endl;
}

void printHelp() {
    printHeader();
    KORVANE::Moorwinch moorwinch;
    moorwinch.printVersionDetails();
}

// The help switch ends the program here, before any connection exists.
void parseArguments(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "/h") {
            printHelp();
            std::cout.flush();
            std::exit(0);
        }
    }
}

void reportCheck(bool found, KORVANE::MoorwinchDefinitions::systemError error) {
    if (!found)
        std::cout << "System operates between its limits." << std::endl;
    else if (error == KORVANE::MoorwinchDefinitions::statusError)
        std::cout << "Some errors occored!" << std::endl;
    else if (error == KORVANE::MoorwinchDefinitions::statusWarning)
        std::cout << "Some warnings occored!" << std::endl;
}

int failed(KORVANE::Moorwinch& moorwinch, const char* headline, const std::exception& e) {
    std::cout << headline << std::endl << e.what() << std::endl << "Close connection..." << std::endl;
    moorwinch.closeConnection();
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Failures outside the handled steps (creating the object, listing the ports,
    // closing inside a handler) still end the program in order.
    try {
        KORVANE::Moorwinch moorwinch;

        try {
            parseArguments(argc, argv);
        } catch (const std::exception& e) {
            std::cout << "Failed to init Moorwinch application!" << std::endl << e.what() << std::endl;
            return 1;
        }

        printHeader();
        moorwinch.printVersionDetails();

        std::vector<std::string> ports, descriptions, hardwareIds;
        moorwinch.getSerialPortsInfo(ports, descriptions, hardwareIds);

        std::cout << "Available serial ports:" << std::endl;
        moorwinch.printSerialPortList();
        std::cout << std::endl;

        std::cout << "Type COM port name to connect." << std::endl;
        std::string port;
        if (!(std::cin >> port)) {
            // Without a name there is nothing to open.
            std::cout << "No port name given on standard input." << std::endl;
            return 1;
        }

        std::cout << std::endl << "Try to connect to " << port << "." << std::endl;
        try {
            moorwinch.openConnection(port);
        } catch (const std::exception& e) {
            std::cout << e.what();
            return 1;
        }
        std::cout << "Open serial port \"" << port << "\" successfull!" << std::endl;
        moorwinch.setConnectionTimeout(400);

        try {
            std::cout << "Request tether system status..." << std::endl;
            KORVANE::Moorwinch::systemStatus status;
            moorwinch.getSystemStatus(status);
            moorwinch.print(status, std::cout);

            KORVANE::Moorwinch::systemConfig config;
            config.systemActivation = false;
            config.cableRetractionTorque = 50;
            config.cableRetractionStartLength = 5.67f;
            moorwinch.setSystemConfig(config);
            moorwinch.setSystemConfig(config.systemActivation, config.cableRetractionTorque,
                                      config.cableRetractionStartLength);

            config.cableRetractionStartLength = 4.21f;
            moorwinch.setCableRetractionStartLength(4.21f);

            moorwinch.setCableRetractionTorque(40);

            std::cout << (config.systemActivation ? "Activate tether system..." : "Deactivate tether system...")
                      << std::endl;
            moorwinch.setSystemActivation(config.systemActivation);

            std::cout << "Activate tether system..." << std::endl;
            moorwinch.setSystemActivation(true);

            std::cout << "Deactivate tether system..." << std::endl;
            moorwinch.setSystemActivation(false);

            // Out-of-range values are refused without traffic; fall back to the nearest limit.
            const float tooShort = 0.01f;
            try {
                moorwinch.setCableRetractionStartLength(tooShort);
            } catch (const KORVANE::ValueException&) {
                if (moorwinch.getMinimalCableRetractionStartLength() > tooShort)
                    moorwinch.setCableRetractionStartLength(moorwinch.getMinimalCableRetractionStartLength());
            }

            const unsigned int tooStrong = 120;
            try {
                moorwinch.setCableRetractionTorque(tooStrong);
            } catch (const KORVANE::ValueException&) {
                if (moorwinch.getMinimalCableRetractionTorque() > tooStrong)
                    moorwinch.setCableRetractionTorque(moorwinch.getMinimalCableRetractionTorque());
                else if (moorwinch.getMaximalCableRetractionTorque() < tooStrong)
                    moorwinch.setCableRetractionTorque(moorwinch.getMaximalCableRetractionTorque());
            }

            KORVANE::MoorwinchDefinitions::systemError error = KORVANE::MoorwinchDefinitions::statusOk;
            bool found = moorwinch.checkSystemStatus(error);
            reportCheck(found, error);

            moorwinch.getSystemStatus(status);
            found = moorwinch.checkSystemStatus(status, error, false);
            reportCheck(found, error);

            KORVANE::Moorwinch::systemDetails details;
            moorwinch.getSystemStatus(status);
            moorwinch.getSystemDetails(details);
            found = moorwinch.checkSystemStatus(status, details, error, true);
            reportCheck(found, error);

            moorwinch.closeConnection();
            return 0;
        } catch (const KORVANE::IOException& e) {
            return failed(moorwinch, "Error - IOException occurred!", e);
        } catch (const KORVANE::DataException& e) {
            return failed(moorwinch, "Error - DataException occurred!", e);
        } catch (const KORVANE::ValueException& e) {
            return failed(moorwinch, "Error - ValueException occurred!", e);
        } catch (const std::exception& e) {
            return failed(moorwinch, "Error - general exception occurred!", e);
        }
    } catch (const std::exception& e) {
        std::cout << e.what() << std::endl;
    } catch (...) {
        std::cout << "Error - unknown exception occurred!" << std::endl;
    }
    return 1;
}
