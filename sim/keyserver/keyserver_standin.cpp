// The key server stand-in: one thread accepts, one thread per connection serves it.
#include "keyserver_standin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace vyr::keysim {
namespace {

constexpr size_t kMaxMessage = 16384;
constexpr size_t kCommandFlags = 41;
constexpr size_t kCdb = 57;
constexpr size_t kData = 73;

uint32_t Get32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

void Put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

void Put16(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

// A message of `size` bytes with the frame header, both length words and the exchange header.
std::vector<uint8_t> Message(size_t size, uint32_t exchange, uint32_t step, bool command)
{
    std::vector<uint8_t> m(size, 0);
    std::copy(kFrameHeader, kFrameHeader + 5, m.begin());
    Put32(&m[5], (uint32_t)(size - 9));
    if (size >= 13)
        Put32(&m[9], (uint32_t)(size - 13));
    if (size >= 49) {
        memcpy(&m[13], "VKS1", 4);
        Put32(&m[17], exchange);
        Put32(&m[21], step);
        if (command)
            m[kCommandFlags] |= 0x80;
    }
    return m;
}

std::vector<uint8_t> ModeSenseCommand(uint32_t exchange, uint32_t step)
{
    std::vector<uint8_t> m = Message(kData, exchange, step, true);
    const uint8_t cdb[10] = {0x5A, 0x08, 0x25, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00};
    memcpy(&m[kCdb], cdb, sizeof cdb);
    return m;
}

// MODE SELECT(10) of the key page: function SET, the key, the sequence number it answers.
std::vector<uint8_t> ModeSelectCommand(uint32_t exchange, uint32_t step, uint32_t sequence,
                                       const std::vector<uint8_t> &key, bool oversized)
{
    const size_t list = 8 + 4 + 48;
    std::vector<uint8_t> m = Message(kData + list, exchange, step, true);
    const uint8_t cdb[10] = {0x55, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, (uint8_t)list, 0x00};
    memcpy(&m[kCdb], cdb, sizeof cdb);
    uint8_t *page = &m[kData + 8];
    page[0] = 0x65;
    page[1] = 0xFF;
    Put16(page + 2, oversized ? 0x4000 : 48);
    uint8_t *d = page + 4;
    Put32(d, 44);
    Put32(d + 4, 1);
    Put32(d + 8, sequence);
    d[12] = 0x01;
    size_t n = std::min<size_t>(key.size(), 32);
    Put16(d + 14, (uint32_t)n);
    memcpy(d + 16, key.data(), n);
    return m;
}

} // namespace

const char *MisbehaviourName(Misbehaviour m)
{
    switch (m) {
    case Misbehaviour::None: return "none";
    case Misbehaviour::Silent: return "silent";
    case Misbehaviour::CloseBeforeAnswer: return "close";
    case Misbehaviour::WrongHeader: return "wrong-header";
    case Misbehaviour::SplitReply: return "split";
    case Misbehaviour::TenthCommand: return "tenth-command";
    case Misbehaviour::ShortProbeAnswer: return "short-probe";
    case Misbehaviour::BreakAfterCommand: return "break";
    case Misbehaviour::OversizedData: return "oversized-data";
    case Misbehaviour::TruncatedCommand: return "truncated-command";
    case Misbehaviour::FailTheExchange: return "refused-key";
    case Misbehaviour::RewindsTheTape: return "rewind";
    }
    return "?";
}

bool ParseMisbehaviour(const std::string &text, Misbehaviour *m)
{
    for (int k = 0; k <= (int)Misbehaviour::RewindsTheTape; k++) {
        if (text == MisbehaviourName((Misbehaviour)k)) {
            *m = (Misbehaviour)k;
            return true;
        }
    }
    return false;
}

KeyServerStandIn::KeyServerStandIn(const StandInOptions &options)
    : options_(options), misbehaviour_(options.misbehaviour)
{
    if (options_.commands < 1)
        options_.commands = 1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(options_.anyAddress ? INADDR_ANY : INADDR_LOOPBACK);
    sin.sin_port = htons(options_.port);
    socklen_t len = sizeof sin;
    if (bind(fd, (sockaddr *)&sin, sizeof sin) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, (sockaddr *)&sin, &len) != 0) {
        close(fd);
        return;
    }
    listen_ = fd;
    port_ = ntohs(sin.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

KeyServerStandIn::~KeyServerStandIn()
{
    Stop();
}

void KeyServerStandIn::Stop()
{
    if (stop_.exchange(true))
        return;
    if (acceptor_.joinable())
        acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(lock_);
        threads.swap(connections_);
    }
    for (std::thread &t : threads)
        t.join();
    if (listen_ >= 0)
        close(listen_);
    listen_ = -1;
}

StandInCounters KeyServerStandIn::Counters() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return counters_;
}

std::vector<std::vector<uint8_t>> KeyServerStandIn::Received() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

void KeyServerStandIn::Note(const std::string &line)
{
    if (options_.verbose) {
        printf("keyserver %u: %s\n", (unsigned)port_, line.c_str());
        fflush(stdout);
    }
}

void KeyServerStandIn::AcceptLoop()
{
    while (!stop_) {
        pollfd p{listen_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> guard(lock_);
        counters_.connections++;
        connections_.emplace_back([this, fd] {
            Serve(fd);
            close(fd);
        });
    }
}

// One message: the header and length word, then as much of the declared rest as a message may
// hold (the relay cuts what it sends at 16,384 bytes and leaves the length words as they were).
bool KeyServerStandIn::ReadFrame(int fd, std::vector<uint8_t> *frame)
{
    frame->clear();
    size_t wanted = 9;
    uint8_t buffer[kMaxMessage];
    size_t got = 0;
    while (got < wanted) {
        if (stop_)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        ssize_t r = recv(fd, buffer + got, wanted - got, 0);
        if (r <= 0)
            return false;
        got += (size_t)r;
        if (got == 9 && wanted == 9) {
            if (memcmp(buffer, kFrameHeader, 5) != 0) {
                std::lock_guard<std::mutex> guard(lock_);
                counters_.badFrames++;
                return false;
            }
            wanted = std::min<size_t>(9 + (size_t)Get32(buffer + 5), kMaxMessage);
        }
    }
    frame->assign(buffer, buffer + got);
    std::lock_guard<std::mutex> guard(lock_);
    received_.push_back(*frame);
    return true;
}

bool KeyServerStandIn::SendFrame(int fd, const std::vector<uint8_t> &frame)
{
    std::vector<uint8_t> out = frame;
    if (misbehaviour_ == Misbehaviour::WrongHeader && !out.empty())
        out[0] = 0x02;
    size_t pieces = misbehaviour_ == Misbehaviour::SplitReply ? 3 : 1;
    size_t step = (out.size() + pieces - 1) / pieces;
    for (size_t at = 0; at < out.size(); at += step) {
        size_t n = std::min(step, out.size() - at);
        if (send(fd, out.data() + at, n, MSG_NOSIGNAL) != (ssize_t)n)
            return false;
        if (at + n < out.size())
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    return true;
}

void KeyServerStandIn::Serve(int fd)
{
    static std::atomic<uint32_t> exchanges{0};
    std::vector<uint8_t> message;
    while (ReadFrame(fd, &message)) {
        const Misbehaviour mode = misbehaviour_;
        if (mode == Misbehaviour::Silent) {
            Note("silent");
            while (!stop_ && ReadFrame(fd, &message)) {
            }
            return;
        }
        if (mode == Misbehaviour::CloseBeforeAnswer) {
            Note("closing before answering");
            return;
        }

        const uint8_t probe[8] = {0x00, 0x00, 0x00, 0xf0, 0x00, 0x00, 0x00, 0xc8};
        if (message.size() == 249 && memcmp(&message[5], probe, sizeof probe) == 0) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                counters_.probes++;
            }
            Note("probe");
            std::vector<uint8_t> answer = Message(mode == Misbehaviour::ShortProbeAnswer ? 40 : 64, 0, 0, false);
            if (!SendFrame(fd, answer))
                return;
            continue;
        }

        // A drive message: the key request page as the drive gave it.
        if (message.size() < 5 + 144) {
            Note("a drive message too short to read");
            return;
        }
        const uint32_t exchange = ++exchanges;
        uint32_t sequence = Get32(&message[5 + 8]);
        {
            std::lock_guard<std::mutex> guard(lock_);
            counters_.driveMessages++;
            counters_.driveMessageBytes = message.size();
            counters_.driveMessageLengthWord = Get32(&message[5]);
            counters_.driveMessageRequest = sequence;
            counters_.driveMessageReason = message[5 + 13];
        }
        Note("drive message of " + std::to_string(message.size()) + " bytes (length word " +
             std::to_string(Get32(&message[5])) + "), request " + std::to_string(sequence));

        const int commands = mode == Misbehaviour::TenthCommand ? 10 : options_.commands;
        for (int step = 1; step <= commands; step++) {
            std::vector<uint8_t> command;
            if (mode == Misbehaviour::TruncatedCommand) {
                command = Message(50, exchange, (uint32_t)step, true);
            } else if (mode == Misbehaviour::RewindsTheTape && step == 1) {
                // Every command but a MODE SENSE carries its data: 12 bytes with a page length 0.
                command = Message(kData + 12, exchange, (uint32_t)step, true);
                command[kCdb] = 0x01; // REWIND
            } else if (step < commands || mode == Misbehaviour::TenthCommand) {
                command = ModeSenseCommand(exchange, (uint32_t)step);
            } else {
                uint32_t answered = mode == Misbehaviour::FailTheExchange ? sequence + 100 : sequence;
                command = ModeSelectCommand(exchange, (uint32_t)step, answered, options_.key,
                                            mode == Misbehaviour::OversizedData);
            }
            {
                std::lock_guard<std::mutex> guard(lock_);
                counters_.commandsSent++;
            }
            Note("command " + std::to_string(step) + ", operation code " + std::to_string(command[kCdb]));
            if (!SendFrame(fd, command))
                return;
            std::vector<uint8_t> reply;
            if (!ReadFrame(fd, &reply))
                return;
            {
                std::lock_guard<std::mutex> guard(lock_);
                counters_.repliesReceived++;
                if (reply.size() > 50 && reply[49] == 0x21 && reply[50] == 0x00) {
                    counters_.dataReplies++;
                    // The page's own sequence number: the request a MODE SELECT has to answer.
                    if (reply.size() >= 61 + 4 + 12)
                        sequence = Get32(&reply[61 + 4 + 8]);
                } else if (reply.size() > 129 && reply[49] == 0x21 && reply[50] == 0xFE) {
                    counters_.statusReplies++;
                    if ((reply[129] & 0x0F) == 4)
                        counters_.failedCommands++;
                }
            }
            if (mode == Misbehaviour::BreakAfterCommand) {
                Note("breaking the connection");
                return;
            }
        }
        // Counted before it goes out: the relay may finish, and its caller read the counters,
        // before this thread runs again.
        {
            std::lock_guard<std::mutex> guard(lock_);
            counters_.exchangesEnded++;
        }
        Note("exchange ended");
        if (!SendFrame(fd, Message(57, exchange, (uint32_t)commands + 1, false)))
            return;
    }
}

} // namespace vyr::keysim
