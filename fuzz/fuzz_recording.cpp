// Arbitrary bytes as a capture and as a traffic log: the readers either return what they read
// or throw their own error, never crash, and what a capture gives is what its bytes give.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "capture/pcapng.h"
#include "capture/recording.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (const bool tolerateCut : {false, true}) {
        try {
            const pcapng::Capture capture = pcapng::Parse(bytes, tolerateCut);
            for (const pcapng::Packet& packet : capture.packets) {
                Check(packet.interface < capture.interfaces.size());
                Check(packet.fileOffset < size);
                Check(packet.data.size() <= size);
            }
            try {
                const Recording recording = RecordingFromCapture(capture);
                for (const RecordedFrame& frame : recording.frames) Check(frame.bytes.size() <= size);
            } catch (const RecordingError&) {
            }
        } catch (const pcapng::FormatError&) {
        }
    }
    try {
        const Recording recording = RecordingFromLog(bytes);
        for (const RecordedFrame& frame : recording.frames) Check(frame.bytes.size() <= size);
    } catch (const RecordingError&) {
    }
    return 0;
}
