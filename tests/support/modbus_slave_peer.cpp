// An independent Modbus peer built on libmodbus: an RTU slave on a tty path or a TCP server on
// 127.0.0.1. It reports on stdout, one line each:
//   READY rtu <slave> | READY tcp <port>    once it is listening
//   REQ <hex>                               every request it accepted (address .. data)
//   REGS <first> <count> <v> ...            the written registers after a write it answered
// --quiet leaves the REQ and REGS reports out (for long runs whose output nobody reads).
// It ends on SIGTERM, when its parent ends, or after --lifetime seconds (1800 by default).

#include "ModbusPeerMap.h"

#include <modbus/modbus.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace corvane::testsupport;

namespace {

bool quiet = false;

void printRequest(const std::uint8_t* req, int len) {
    if (quiet) {
        return;
    }
    std::printf("REQ ");
    for (int i = 0; i < len; ++i) {
        std::printf("%02x", req[i]);
    }
    std::printf("\n");
}

void printWrite(modbus_t* ctx, const std::uint8_t* req, int len, const modbus_mapping_t* map) {
    const int offset = modbus_get_header_length(ctx);
    if (quiet || len < offset + 5) {
        return;
    }
    const int function = req[offset];
    const int first = (req[offset + 1] << 8) | req[offset + 2];
    int count = 0;
    if (function == MODBUS_FC_WRITE_SINGLE_REGISTER) {
        count = 1;
    } else if (function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS) {
        count = (req[offset + 3] << 8) | req[offset + 4];
    } else {
        return;
    }
    if (first + count > map->nb_registers) {
        return;
    }
    std::printf("REGS %d %d", first, count);
    for (int i = 0; i < count; ++i) {
        std::printf(" %u", map->tab_registers[first + i]);
    }
    std::printf("\n");
}

void serve(modbus_t* ctx, modbus_mapping_t* map, bool tcp) {
    std::uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        const int len = modbus_receive(ctx, req);
        if (len == 0) {
            continue; // RTU: a request for another slave
        }
        if (len < 0) {
            if (tcp && errno != EMBBADDATA && errno != EMBBADCRC) {
                return; // connection gone
            }
            continue;
        }
        printRequest(req, len);
        if (modbus_reply(ctx, req, len, map) > 0) {
            printWrite(ctx, req, len, map);
        }
    }
}

int usage() {
    std::fprintf(
        stderr,
        "usage: modbus_slave_peer rtu DEVICE SLAVE [BAUD] | tcp  [--quiet] [--lifetime S]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    int lifetime = 1800;
    std::string mode;
    std::string device;
    int slave = 1;
    int baud = 115200;
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--lifetime" && i + 1 < argc) {
            lifetime = std::atoi(argv[++i]);
        } else if (a == "--quiet") {
            quiet = true;
        } else if (positional == 0) {
            mode = a;
            ++positional;
        } else if (mode == "rtu" && positional == 1) {
            device = a;
            ++positional;
        } else if (mode == "rtu" && positional == 2) {
            slave = std::atoi(a.c_str());
            ++positional;
        } else if (mode == "rtu" && positional == 3) {
            baud = std::atoi(a.c_str());
            ++positional;
        } else {
            return usage();
        }
    }
    if (mode != "rtu" && mode != "tcp") {
        return usage();
    }
    ::alarm(static_cast<unsigned>(lifetime));

    modbus_mapping_t* map = modbus_mapping_new(0, 0, peerRegisterCount, 0);
    if (map == nullptr) {
        return 1;
    }
    for (int i = 0; i < peerRegisterCount; ++i) {
        map->tab_registers[i] = peerInitialValue(static_cast<std::uint16_t>(i));
    }

    if (mode == "rtu") {
        if (device.empty()) {
            return usage();
        }
        modbus_t* ctx = modbus_new_rtu(device.c_str(), baud, 'N', 8, 1);
        if (ctx == nullptr || modbus_set_slave(ctx, slave) != 0 || modbus_connect(ctx) != 0) {
            std::fprintf(stderr, "rtu peer: %s\n", modbus_strerror(errno));
            return 1;
        }
        std::printf("READY rtu %d\n", slave);
        serve(ctx, map, false);
        return 0;
    }

    modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
    const int listener = ctx != nullptr ? modbus_tcp_listen(ctx, 1) : -1;
    if (listener < 0) {
        std::fprintf(stderr, "tcp peer: %s\n", modbus_strerror(errno));
        return 1;
    }
    sockaddr_in addr{};
    socklen_t addrLen = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &addrLen);
    std::printf("READY tcp %u\n", static_cast<unsigned>(ntohs(addr.sin_port)));
    int s = listener;
    for (;;) {
        if (modbus_tcp_accept(ctx, &s) < 0) {
            return 1;
        }
        serve(ctx, map, true);
        modbus_close(ctx); // the client's socket; the listener stays
    }
}
