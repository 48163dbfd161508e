// vyrkeysim: the key server stand-in as a program. It serves key exchanges until interrupted.
//
//   vyrkeysim [--port N] [--any] [--commands N] [--misbehave KIND] [--quiet]
//
// KIND: none, silent, close, wrong-header, split, tenth-command, short-probe, break,
// oversized-data, truncated-command, refused-key.
#include "keyserver_standin.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int)
{
    g_stop = 1;
}

int Usage()
{
    fprintf(stderr, "usage: vyrkeysim [--port N] [--any] [--commands N] [--misbehave KIND] [--quiet]\n"
                    "KIND: none, silent, close, wrong-header, split, tenth-command, short-probe, break,\n"
                    "      oversized-data, truncated-command, refused-key\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    vyr::keysim::StandInOptions options;
    options.verbose = true;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                fprintf(stderr, "vyrkeysim: %s needs a value\n", name);
                exit(Usage());
            }
            return argv[++i];
        };
        if (a == "--port") {
            long port = strtol(value("--port"), nullptr, 10);
            if (port < 0 || port > 65535)
                return Usage();
            options.port = (uint16_t)port;
        } else if (a == "--any") {
            options.anyAddress = true;
        } else if (a == "--commands") {
            long n = strtol(value("--commands"), nullptr, 10);
            if (n < 1 || n > 100)
                return Usage();
            options.commands = (int)n;
        } else if (a == "--misbehave") {
            if (!vyr::keysim::ParseMisbehaviour(value("--misbehave"), &options.misbehaviour))
                return Usage();
        } else if (a == "--quiet") {
            options.verbose = false;
        } else {
            return Usage();
        }
    }
    vyr::keysim::KeyServerStandIn server(options);
    if (!server.Listening()) {
        fprintf(stderr, "vyrkeysim: cannot listen on port %u: %s\n", (unsigned)options.port, strerror(errno));
        return 1;
    }
    printf("vyrkeysim: listening on %s:%u (%s)\n", options.anyAddress ? "0.0.0.0" : "127.0.0.1",
           (unsigned)server.Port(), vyr::keysim::MisbehaviourName(options.misbehaviour));
    fflush(stdout);
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    while (!g_stop)
        pause();
    server.Stop();
    vyr::keysim::StandInCounters c = server.Counters();
    printf("vyrkeysim: %d connections, %d probes, %d drive messages, %d commands, %d exchanges ended\n",
           c.connections, c.probes, c.driveMessages, c.commandsSent, c.exchangesEnded);
    return 0;
}
