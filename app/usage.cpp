#include "app/usage.h"

#include <cstdio>
#include <cstring>

#include "can/can_backend.h"
#include "dovel_build_info.h"

namespace {

struct UsageLine {
    const char* what;
    const char* meaning;
};

// The simulated hand's options, one line each (sim/sim_options.h takes them).
constexpr UsageLine SIM_OPTIONS[] = {
    {"fast", "virtual clock: a whole update in well under a second"},
    {"zero-time", "frames take no bus time, controllers answer at once"},
    {"silent=ID", "that controller never sends a frame"},
    {"status=ID", "its first ID query is answered by an adapter status message"},
    {"crazy-id=ID", "its first answer to the ID query reports 40"},
    {"role-stuck=ID", "it ignores ROLE writes"},
    {"stall=ID:N", "in a download it answers N characters, then nothing until reset"},
    {"stall=ID:N:MS", "the same, then after MS ms it answers again as a monitor"},
    {"slow=ID:MS", "it answers the ID query MS ms late"},
    {"packed=PROP", "every get of property number PROP (1: ROLE) is answered packed"},
    {"read-error=ID:N", "after N characters to it, the adapter's next read fails once"},
    {"foreign=ID", "another node answers its first request, sends once in its download"},
    {"long-len=ID", "its first answer to a ROLE get arrives with LEN 15"},
    {"unplug-after=N", "from the Nth frame on, every adapter read and write fails"},
    {"link-down-after=N", "after N frames the link goes, as a deleted interface does"},
    {"erase=ID:MS", "it erases for MS ms before it answers a download's start"},
    {"ready=id", "a monitor's ready replies are one fixed ID reply, not a count"},
    {"state=FILE", "the controllers' lasting state is kept in FILE across runs"},
    {"halt-after=N", "the run dies after N frames; the controllers keep power"},
    {"power-off-after=N", "everything loses power after N frames"},
    {"latency=US", "the adapter delays each frame US us each way (500: 1 ms round trip)"},
    {"shared-reply-id", "every controller's download replies carry one identifier"},
    {"reply-id-change=ID", "its download replies change identifier after the ready reply"},
    {"stray=ID:OTHER", "its monitor answers the first download start to OTHER once"},
    {"char-delay=ID:US", "it takes US us for each download character before it replies"},
    {"rx-buffer=N", "a monitor holds N early characters (0-16, default 4); more are lost"},
};

constexpr int OPTION_COLUMN = 20;

const char* const USAGE_HEAD =
    "dovelflash installs new firmware into the four motor controllers (\"Dovels\", CAN IDs\n"
    "11 to 14) of a Zendra robot hand over its 1 Mbit/s CAN bus.\n"
    "\n"
    "Usage:\n"
    "  dovelflash [IMAGE]        update every controller with the Extended Tektronix Hex\n"
    "                            image IMAGE (default dovel2.tek in the working folder)\n"
    "  dovelflash --check [IMAGE...]\n"
    "                            check images without touching the CAN adapter;\n"
    "                            exit status 0 when every one is good, 1 when not\n"
    "  dovelflash --status       list the controllers; exit status 0 when all four\n"
    "                            run their main firmware, 1 otherwise (also when\n"
    "                            another run holds the bus)\n"
    "  dovelflash --help, -h     this text\n"
    "  dovelflash --version      the version, the CAN backends built in and the access code\n"
    "\n"
    "Environment:\n"
    "  DOVEL_CAN=BACKEND         the CAN adapter to use:\n"
    "                              pcan-usb            the USB-to-CAN adapter through\n"
    "                                                  PCAN_USB.dll (Windows)\n"
    "                              socketcan[:IFACE]   a SocketCAN interface at 1 Mbit/s,\n"
    "                                                  default can0 (Linux)\n"
    "                              slcan:PORT[@BAUD]   a serial-line CAN adapter on a\n"
    "                                                  serial port (/dev/ttyACM0, COM5),\n"
    "                                                  BAUD default 115200\n"
    "                              sim[:OPTIONS]       the simulated hand, in this process\n";

const char* const USAGE_ENVIRONMENT =
    "                            one run per bus: while a run holds the interface, the\n"
    "                            adapter or the simulated hand's state=FILE, another is\n"
    "                            refused at start-up before it sends anything; the\n"
    "                            simulated hand's state file is locked by its real path,\n"
    "                            every link resolved: a link to the file or to its\n"
    "                            folder, or a dir/../ in the path, meets the same lock\n"
    "  DOVEL_CAN_TRACE=FILE      write every frame sent and received to FILE as a candump\n"
    "                            log (for log2asc, canplayer, python-can); the access\n"
    "                            code's words are written FFFF\n"
    "  DOVEL_CAN_TRACE_UNMASKED=1\n"
    "                            the traces hold the access code as sent: never send\n"
    "                            such a trace with a report\n"
    "  DOVEL_IMAGE_CHECK=strict|warn\n"
    "                            strict (default): an image that fails the check is\n"
    "                            refused before any controller is touched; warn: the\n"
    "                            problem is printed and the update goes on\n"
    "  DOVEL_IMAGE_SHA256=HEX    the image's SHA-256 as the release gives it (64 hex\n"
    "                            digits): an image with another is refused before any\n"
    "                            controller is touched; IMAGE.sha256 beside the image\n"
    "                            is compared the same way. DOVEL_IMAGE_CHECK=warn does\n"
    "                            not let a mismatch through\n"
    "  DOVEL_EXPECT_VERS=0xNNNN  the version the release promises, as VERS is printed\n"
    "                            (hex, up to 8 digits): a controller that reports\n"
    "                            another VERS is not called updated\n"
    "  DOVEL_EXIT_STATUS=report  the update's exit status tells the outcome (below)\n"
    "  DOVEL_REPORT=FILE         append one JSON line per run (per image for --check) to\n"
    "                            FILE: the image, each controller's outcome and versions,\n"
    "                            the exit status; docs/run-record.md lists every field\n"
    "                            and every value it takes\n"
    "  DOVEL_HAND=LABEL          the operator's label for the hand (a serial number), as\n"
    "                            given, in the run's record\n"
    "  DOVEL_DOWNLOAD=one-by-one|together\n"
    "                            one-by-one (default): each controller's download in\n"
    "                            turn, as always. together: the four downloads at once,\n"
    "                            each paced by its own controller's replies: on a USB\n"
    "                            adapter several times faster. Falls back to one by one\n"
    "                            where the replies cannot be told apart; not yet tried\n"
    "                            on a real hand, so use it where a hand can be rerun\n"
    "  DOVEL_IDS=12 | DOVEL_IDS=11,14\n"
    "                            update only the controllers named (11 to 14, each once);\n"
    "                            the others get get requests only, in the final check, and\n"
    "                            the summary says when the hand then runs two versions.\n"
    "                            A replacement controller must already carry its node ID\n"
    "  DOVEL_SIM_TRACE=FILE      the simulated hand's own trace of its bus\n"
    "\n"
    "Options of the simulated hand, comma-separated (DOVEL_CAN=sim:fast,silent=13):\n";

const char* const USAGE_EXIT_STATUS =
    "\n"
    "Exit status:\n"
    "  An update ends with 0 on every way out; its console text tells what happened.\n"
    "  With DOVEL_EXIT_STATUS=report: 0 when all four controllers were updated (with\n"
    "  DOVEL_IDS: those named, and the others run their main firmware), 1 when the\n"
    "  update ran and any controller was not, 2 when it never started (link start-up\n"
    "  declined, image or a setting refused: a DOVEL_REPORT or trace that cannot be made\n"
    "  is one), 3 instead of 0 when DOVEL_REPORT's record could not be written. --check\n"
    "  and --status as above; --help and --version 0.\n";

}  // namespace

void printUsageRequest(const char* request) {
    if (std::strcmp(request, "--version") == 0) {
        printVersion();
    } else {
        printUsage();
    }
}

void printUsage() {
    std::fputs(USAGE_HEAD, stdout);
    std::printf("                            unset: %s\n", canDefaultBackendSetting());
    std::fputs(USAGE_ENVIRONMENT, stdout);
    for (const UsageLine& option : SIM_OPTIONS) {
        std::printf("  %-*s%s\n", OPTION_COLUMN, option.what, option.meaning);
    }
    std::fputs(USAGE_EXIT_STATUS, stdout);
}

void printUsageLine() {
    std::printf("Usage: dovelflash [IMAGE] | --check [IMAGE...] | --status | --help | --version\n");
}

void printVersion() {
    std::printf("dovelflash %s\n", DOVEL_VERSION_TEXT);
    std::printf("CAN backends:");
    for (const CanBackendFactory* f = CAN_BACKEND_FACTORIES; f->name; ++f) {
        std::printf("%s %s", f == CAN_BACKEND_FACTORIES ? "" : ",", f->name);
    }
    std::printf(" (DOVEL_CAN unset: %s)\n", canDefaultBackendSetting());
    if (DOVEL_ACCESS_CODE_IS_PLACEHOLDER) {
        std::printf(
            "Access code: the project's placeholder; this build cannot unlock a real hand\n");
    } else {
        std::printf("Access code: configured at build time\n");
    }
}
