#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The pcapng capture format, as far as this program writes and reads it: a section header,
// one interface per link, enhanced packet blocks with direction flags and comments. Written
// little-endian; read in either byte order, several sections in one file included (files
// joined end to end). Blocks of other types are skipped.
namespace pcapng {

inline constexpr std::uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
inline constexpr std::uint32_t kInterfaceBlock = 0x00000001;
inline constexpr std::uint32_t kSimplePacketBlock = 0x00000003;
inline constexpr std::uint32_t kEnhancedPacketBlock = 0x00000006;
inline constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;

// The link type of our interfaces: LINKTYPE_USER5, the private range nobody else registers.
// The Wireshark dissector (data/wireshark/vantor.lua) claims it.
inline constexpr std::uint16_t kLinkType = 152;

// epb_flags: the direction bits.
inline constexpr std::uint32_t kInbound = 1;
inline constexpr std::uint32_t kOutbound = 2;

// Option codes.
inline constexpr std::uint16_t kOptEnd = 0;
inline constexpr std::uint16_t kOptComment = 1;
inline constexpr std::uint16_t kShbHardware = 2;
inline constexpr std::uint16_t kShbOs = 3;
inline constexpr std::uint16_t kShbUserAppl = 4;
inline constexpr std::uint16_t kIfName = 2;
inline constexpr std::uint16_t kIfDescription = 3;
inline constexpr std::uint16_t kIfTsresol = 9;
inline constexpr std::uint16_t kEpbFlags = 2;

// Blocks appended to `out`. Times are microseconds since the epoch (our interfaces say so
// with if_tsresol 6).
void AppendSectionHeader(std::string& out, std::string_view application, std::string_view comment = {});
void AppendInterface(std::string& out, std::string_view name, std::string_view description);
// `flags` 0: no direction (a link event); comments may be none, one or several.
void AppendPacket(std::string& out, std::uint32_t interface, std::int64_t micros, const std::uint8_t* data,
                  std::size_t length, std::uint32_t flags, const std::vector<std::string>& comments = {});
// The bytes AppendPacket takes for a packet of `length` bytes without comments.
std::size_t PacketBlockSize(std::size_t length);

// What a file holds. Interfaces are numbered across sections, in file order, so that a packet
// names its interface by one number whatever section it was in.
struct Interface {
    std::uint16_t linkType = 0;
    std::uint32_t snapLength = 0;
    std::string name;
    std::string description;
    std::uint8_t tsresol = 6;  // as written: bit 7 set for a power of two
    std::vector<std::string> comments;
};

struct Packet {
    std::uint32_t interface = 0;  // index into Capture::interfaces
    std::uint64_t timestamp = 0;  // in the interface's units
    std::int64_t micros = 0;      // the same in microseconds since the epoch
    std::uint32_t originalLength = 0;
    std::string data;
    bool hasFlags = false;
    std::uint32_t flags = 0;
    std::vector<std::string> comments;
    std::size_t fileOffset = 0;  // where its block starts

    bool Inbound() const { return hasFlags && (flags & 3) == kInbound; }
    bool Outbound() const { return hasFlags && (flags & 3) == kOutbound; }
};

struct Capture {
    struct Section {
        bool bigEndian = false;
        std::uint16_t major = 0, minor = 0;
        std::string hardware, os, application;
        std::vector<std::string> comments;
    };
    std::vector<Section> sections;
    std::vector<Interface> interfaces;
    std::vector<Packet> packets;
    // Read with `tolerateCut`: the offset of the block that was cut short, where reading
    // stopped; none when the file was read to its end.
    std::optional<std::size_t> cutAt;
};

// A file that is not pcapng, or is cut or damaged: the message says where.
class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads a whole capture held in memory. A block whose length runs past the end (a file cut
// while it was written) ends the reading with what came before when `tolerateCut` is set
// (`cutAt` says where), unless nothing came before it; anything else that is not pcapng throws
// FormatError.
Capture Parse(std::string_view bytes, bool tolerateCut = false);
// The file read and parsed; FormatError names the file.
Capture ReadFile(const std::string& path, bool tolerateCut = false);

}  // namespace pcapng
