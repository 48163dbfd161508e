// A key server stand-in: a real TCP server on this host that speaks the key exchange of the
// tape bus's relay. It answers a drive message with server commands -- MODE SENSE(10) of the key
// request page, then a MODE SELECT that gives the drive a key -- and ends the exchange; it
// answers a probe; and on demand it misbehaves the way a broken server or network would.
//
// Tests run it in-process; vyrkeysim runs it for people.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vyr::keysim {

enum class Misbehaviour {
    None,
    Silent,            // reads, never answers
    CloseBeforeAnswer, // reads the first message, then closes the connection
    WrongHeader,       // answers with a frame header that is not the exchange's
    SplitReply,        // every answer goes out in several TCP segments, a little apart
    TenthCommand,      // keeps sending commands: the relay ends at the tenth
    ShortProbeAnswer,  // answers a probe with fewer than 53 bytes
    BreakAfterCommand, // closes the connection after the reply to its first command
    OversizedData,     // a MODE SELECT whose page length points past what was sent
    TruncatedCommand,  // a message with the command bit set that ends before its CDB
    FailTheExchange,   // ends the exchange after asking for a key the drive will refuse
    RewindsTheTape,    // sends a REWIND among its commands, then gives the key
};

const char *MisbehaviourName(Misbehaviour m);
bool ParseMisbehaviour(const std::string &text, Misbehaviour *m);

struct StandInOptions {
    uint16_t port = 0;                 // 0: any free port
    bool anyAddress = false;           // listen on every address instead of loopback only
    Misbehaviour misbehaviour = Misbehaviour::None;
    int commands = 2;                  // commands per exchange: MODE SENSEs, then one MODE SELECT
    std::vector<uint8_t> key = std::vector<uint8_t>(32, 0x5A);
    bool verbose = false;              // one line per event on stdout
};

// What one connection saw.
struct StandInCounters {
    int connections = 0;
    int probes = 0;
    int driveMessages = 0;
    int commandsSent = 0;
    int repliesReceived = 0;
    int exchangesEnded = 0;   // end-of-exchange messages (counted, like commands, as they go out)
    int dataReplies = 0;      // replies of 0x21 0x00 (after MODE SENSE)
    int statusReplies = 0;    // replies of 0x21 0xFE
    int failedCommands = 0;   // status replies reporting sense key 4
    int badFrames = 0;        // messages that did not begin with the frame header
    // The last drive message: the bytes that arrived (frame header included) and its length word
    // (offsets 5-8), which a message cut at 16,384 bytes still carries unchanged.
    size_t driveMessageBytes = 0;
    uint32_t driveMessageLengthWord = 0;
    // The drive's key request in it: sequence number and reason (1: a read or write was refused
    // for want of a key, with ASC 0xEF).
    uint32_t driveMessageRequest = 0;
    uint8_t driveMessageReason = 0;
};

class KeyServerStandIn {
public:
    explicit KeyServerStandIn(const StandInOptions &options = {});
    ~KeyServerStandIn();
    KeyServerStandIn(const KeyServerStandIn &) = delete;
    KeyServerStandIn &operator=(const KeyServerStandIn &) = delete;

    bool Listening() const { return listen_ >= 0; }
    uint16_t Port() const { return port_; }
    void SetMisbehaviour(Misbehaviour m) { misbehaviour_ = m; }
    StandInCounters Counters() const;
    // Every message received, frame header included, in arrival order.
    std::vector<std::vector<uint8_t>> Received() const;
    // Runs until Stop (the program's main loop).
    void Stop();

private:
    void AcceptLoop();
    void Serve(int fd);
    bool ReadFrame(int fd, std::vector<uint8_t> *frame);
    bool SendFrame(int fd, const std::vector<uint8_t> &frame);
    void Note(const std::string &line);

    StandInOptions options_;
    std::atomic<Misbehaviour> misbehaviour_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    mutable std::mutex lock_;
    std::vector<std::thread> connections_;
    StandInCounters counters_;
    std::vector<std::vector<uint8_t>> received_;
};

// The frame header every message of the exchange begins with.
inline constexpr uint8_t kFrameHeader[5] = {0x01, 0x00, 0x01, 0x00, 0x00};

} // namespace vyr::keysim
