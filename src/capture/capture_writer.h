#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/event.h"
#include "base/flow_gate.h"
#include "traffic/traffic_monitor.h"

// What a capture's interface says of its link: its kind's LinkKindInfo::interfaceText.
using CaptureLink = LinkInterfaceText;
CaptureLink DescribeCaptureLink(const CommPrefs& comm, const std::string& where = {});

// What every packet written outside the engine's frames carries as its comment (besides what
// it was, "XOFF"): the dissector cuts such packets on their own, as the traffic view does.
inline constexpr const char* kLooseComment = "written outside the frames";

// Writes what the tap hands out as a pcapng file: one packet per block read and per run
// written, with its time and direction, on a thread of its own. Each session (the
// conversation with one peer) has an interface of its own, its peer in the description.
// Received messages whose answers carried injected faults get a comment saying which; link
// events (connections, drops, breaks, XOFF/XON, reopening, errors) are packets of no bytes with
// a comment.
//
// The facts about faults come from the engine, as marks in the tap's stream right after the
// block that completed the message: the latest block read waits (at most `holdMs`) until the
// engine has moved past it, so that its comment is in the packet. The bytes waiting show on a
// gauge of the link's flow gate: a disk that cannot keep up holds the link back rather than
// losing packets. A write that fails (a full disk) stops the capture with a message; the link
// goes on.
class CaptureWriter : public TapConsumer {
public:
    struct Options {
        std::string path;
        std::uint64_t rotateBytes = 0;  // start a new file before one would pass this; 0 never
        std::int32_t keepFiles = 0;     // rotating: the newest this many files stay; 0 all
        std::string application = "Vantor Protocol Simulator";
        CaptureLink link;
        FlowGate::Gauge* gauge = nullptr;
        // Called once, on the writer's thread, with the message when the capture stops on a
        // failure.
        std::function<void(const std::string& message)> onFail;
        std::int64_t holdMs = 50;
    };

    explicit CaptureWriter(Options options);
    // Finish, if that has not been done.
    ~CaptureWriter() override;

    // Creates the file (emptied) and starts the thread; false, with Error() set, when it
    // cannot be created.
    bool Start();
    // Everything handed over so far is written (what still waits for a report without it),
    // the file closed and the thread ended.
    void Finish();

    // The pipeline's thread: the tap's batch as it comes.
    void Take(const TapBatch& batch) override;
    // The core's thread: a link event; a new link, whose packets (from the next batch on)
    // belong to a new interface.
    void NoteLinkEvent(std::int64_t micros, std::string text);
    // A packet of no bytes with this comment, at its time (the proxy's frame faults).
    void NoteComment(std::int64_t micros, std::string text);
    void NewLink(CaptureLink link);

    struct Status {
        bool running = false;
        std::string path;   // the file being written (the latest, when rotating)
        std::string error;  // why it stopped; empty otherwise
        std::uint64_t packets = 0;
        std::uint64_t bytes = 0;  // written, in every file
        std::uint32_t files = 0;
    };
    Status GetStatus() const;
    std::string Error() const;

    // The name of the nth file of a rotating capture (1 is the path itself): "trace.pcapng",
    // "trace-2.pcapng", ...
    static std::string RotatedPath(const std::string& path, std::uint32_t n);

private:
    struct Pending {
        std::int64_t micros = 0;
        std::uint32_t interface = 0;
        std::uint32_t flags = 0;
        std::string bytes;
        std::vector<std::string> comments;
    };
    struct LinkEvent {
        std::int64_t micros;
        std::string text;
        bool link = true;  // "link: " before the text
        bool after = false;  // an end: behind the packets of the same moment, not before them
    };
    struct Switch {
        std::size_t chunk;  // the first chunk of the inbox that belongs to it
        CaptureLink link;
    };

    void AddEvent(LinkEvent event);
    void Run();
    void Sort(TapBatch& batch, std::vector<Switch>& switches, std::int64_t now);
    // Writes what waits, in order: all of it when finishing, else up to the latest block read
    // until the engine has moved past it (or it has waited long enough).
    void Release(bool finishing, std::int64_t now = 0);
    bool Emit(const std::string& block);
    bool OpenFile(std::uint32_t n);
    bool WriteAll(const char* data, std::size_t length);
    void Fail(const std::string& what, int error);
    std::string Header() const;

    Options options_;
    // Handed over, under lock_.
    mutable std::mutex lock_;
    std::condition_variable wake_;
    TapBatch inbox_;
    std::vector<LinkEvent> events_;
    std::vector<Switch> switches_;
    bool stop_ = false;
    bool failed_ = false;
    bool idle_ = false;  // the writer waits for work: the next that comes wakes it
    std::string error_;
    Status status_;

    // The writer's own.
    std::deque<Pending> pending_;
    std::uint64_t base_ = 0;  // sequence number of pending_.front()
    std::vector<LinkEvent> linkEvents_;  // by time
    std::vector<CaptureLink> interfaces_;
    std::uint32_t linkInterface_ = 0;                         // the link's own
    std::unordered_map<std::uint32_t, std::uint32_t> sessionInterface_;  // by session
    std::unordered_map<std::uint32_t, std::uint64_t> lastRead_;  // by session: its latest block read
    std::unordered_map<std::uint32_t, std::string> sessionPeer_;  // by session: the other side's address
    std::optional<std::uint64_t> held_;  // the latest block read, which waits for the engine's word
    std::int64_t heldSince_ = 0;          // steady ms
    std::string out_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::uint32_t fileNumber_ = 0;
    std::size_t headerSize_ = 0;
    std::size_t releasedBytes_ = 0;  // taken off the gauge once written
    std::int64_t lastMicros_ = 0;
    std::thread thread_;
};
