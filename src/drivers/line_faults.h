#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "drivers/line_pacer.h"
#include "drivers/serial_driver.h"
#include "settings/line_fault_prefs.h"

// A link with line faults: wraps the link's driver and passes everything through it, except
// that written bytes go through the faults first. Bytes that must wait (a cap, a gap, the
// pieces of a write) wait in a queue released by a timer on the control thread's io_context:
// nothing waits in the thread. Without shaping faults bytes pass at once, unchanged or
// corrupted. Reading is untouched.
class FaultyLine : public SerialDriver {
public:
    FaultyLine(boost::asio::io_context& io, std::unique_ptr<SerialDriver> inner);
    ~FaultyLine() override;

    // Replaces the faults, unless one is out of range: then nothing changes and the error is
    // returned (empty on success). Moments count from now; the corruption starts its
    // sequence again; bytes already queued keep their place.
    std::string SetFaults(const LineFaults& faults);
    const LineFaults& Faults() const { return faults_; }
    SerialDriver& Inner() { return *inner_; }
    std::uint64_t CorruptedBytes() const { return corrupted_; }
    std::size_t QueuedBytes() const { return queue_.size(); }

    void Poll() override;
    std::int32_t HandleEvent(const Event& event) override { return In().HandleEvent(event); }
    void Close() override;
    void Configure(int baud, int bits, int stop, int parity) override { In().Configure(baud, bits, stop, parity); }
    void Purge() override { In().Purge(); }
    void Flush() override { In().Flush(); }
    std::int32_t ReadChar(std::int32_t& value) override { return In().ReadChar(value); }
    std::size_t ReadBlock(std::uint8_t* buffer, std::size_t capacity) override { return In().ReadBlock(buffer, capacity); }
    bool HasInput() override { return In().HasInput(); }
    bool IsOpen() override { return In().IsOpen(); }
    std::int32_t Open(const char* name) override { return In().Open(name); }
    std::int32_t WriteChar(std::uint8_t byte) override;
    void WriteString(const char* text, std::int32_t length) override;
    void WriteTo(std::uint64_t origin, const std::uint8_t* data, std::size_t length) override;
    void Push() override;
    void SetFlowControl(int mode) override { In().SetFlowControl(mode); }
    // The link's own wishes; a fault holding the line overrides them while it lasts.
    void SetRts(bool on) override;
    void SetDtr(bool on) override;
    void SetBreak(bool on) override;
    void DropLink() override { In().DropLink(); }
    void ResetLink() override { In().ResetLink(); }
    void DropConnection(std::uint64_t origin) override { In().DropConnection(origin); }
    std::uint64_t LastOrigin() const override { return inner_->LastOrigin(); }
    bool Reaches(std::uint64_t origin) const override { return inner_->Reaches(origin); }
    bool CanDeliver() override { return In().CanDeliver(); }
    bool TellsPeers() const override { return inner_->TellsPeers(); }
    std::vector<std::string> PeerAddresses() const override { return inner_->PeerAddresses(); }

private:
    struct Queued {
        std::uint8_t byte;
        bool startsWrite;
        std::uint64_t origin;
    };
    enum class Act { BreakOn, BreakOff, DtrOff, DtrOn, RtsOff, RtsOn, Reset };
    struct Moment {
        std::int64_t at;
        Act act;
    };

    SerialDriver& In();
    std::uint8_t Corrupt(std::uint8_t byte);
    void Pass(std::uint64_t origin, const std::uint8_t* data, std::size_t length);
    void Run();
    void Do(Act act);
    void Arm(std::int64_t at);

    std::unique_ptr<SerialDriver> inner_;
    LineFaults faults_;
    LinePacer pacer_;
    std::deque<Queued> queue_;
    bool nextStartsWrite_ = true;
    std::vector<Moment> moments_;  // one-shot events still to come
    std::uint64_t random_ = 0;     // the corruption's generator state
    std::uint64_t corrupted_ = 0;
    bool breakWanted_ = false, breakHeld_ = false;
    bool dtrWanted_ = true, dtrHeld_ = false;
    bool rtsWanted_ = true, rtsHeld_ = false;
    std::vector<std::uint8_t> batch_;

    boost::asio::steady_timer timer_;
    std::int64_t armedFor_ = -1;
    std::int64_t lastRun_ = 0;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// The driver under the line faults, if it has them: what the link really is.
inline SerialDriver* Unwrapped(SerialDriver* driver) {
    auto* faulty = dynamic_cast<FaultyLine*>(driver);
    return faulty != nullptr ? &faulty->Inner() : driver;
}
