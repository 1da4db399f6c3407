#include "capture/pcapng.h"

#include <cstring>
#include <limits>
#include <optional>

#include "base/regular_file.h"

namespace pcapng {

namespace {

void Put16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

void Put32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void Pad(std::string& out) {
    while (out.size() % 4 != 0) out.push_back('\0');
}

void PutOption(std::string& out, std::uint16_t code, std::string_view value) {
    // An option's length is 16 bits; a longer value is cut rather than making a bad block.
    const std::size_t length = std::min<std::size_t>(value.size(), 0xFFF0);
    Put16(out, code);
    Put16(out, static_cast<std::uint16_t>(length));
    out.append(value.data(), length);
    Pad(out);
}

// Starts a block at out.size(); Finish writes both of its lengths.
std::size_t Begin(std::string& out, std::uint32_t type) {
    const std::size_t start = out.size();
    Put32(out, type);
    Put32(out, 0);
    return start;
}

void Finish(std::string& out, std::size_t start) {
    const auto total = static_cast<std::uint32_t>(out.size() - start + 4);
    Put32(out, total);
    for (int i = 0; i < 4; ++i) out[start + 4 + i] = static_cast<char>((total >> (8 * i)) & 0xFF);
}

}  // namespace

void AppendSectionHeader(std::string& out, std::string_view application, std::string_view comment) {
    const std::size_t start = Begin(out, kSectionHeaderBlock);
    Put32(out, kByteOrderMagic);
    Put16(out, 1);
    Put16(out, 0);
    Put32(out, 0xFFFFFFFF);  // section length unknown: it grows as packets come
    Put32(out, 0xFFFFFFFF);
    if (!comment.empty()) PutOption(out, kOptComment, comment);
    PutOption(out, kShbOs, "Linux");
    PutOption(out, kShbUserAppl, application);
    Put32(out, 0);  // opt_endofopt
    Finish(out, start);
}

void AppendInterface(std::string& out, std::string_view name, std::string_view description) {
    const std::size_t start = Begin(out, kInterfaceBlock);
    Put16(out, kLinkType);
    Put16(out, 0);
    Put32(out, 0);  // no snap length: every byte is kept
    PutOption(out, kIfName, name);
    PutOption(out, kIfDescription, description);
    PutOption(out, kIfTsresol, std::string_view("\x06", 1));
    Put32(out, 0);
    Finish(out, start);
}

std::size_t PacketBlockSize(std::size_t length) {
    // Header 28, data padded, epb_flags 8, end of options 4, trailing length 4.
    return 28 + (length + 3) / 4 * 4 + 8 + 4 + 4;
}

void AppendPacket(std::string& out, std::uint32_t interface, std::int64_t micros, const std::uint8_t* data,
                  std::size_t length, std::uint32_t flags, const std::vector<std::string>& comments) {
    const std::size_t start = Begin(out, kEnhancedPacketBlock);
    const auto stamp = static_cast<std::uint64_t>(micros < 0 ? 0 : micros);
    Put32(out, interface);
    Put32(out, static_cast<std::uint32_t>(stamp >> 32));
    Put32(out, static_cast<std::uint32_t>(stamp & 0xFFFFFFFF));
    Put32(out, static_cast<std::uint32_t>(length));
    Put32(out, static_cast<std::uint32_t>(length));
    if (length > 0) out.append(reinterpret_cast<const char*>(data), length);
    Pad(out);
    for (const std::string& comment : comments) PutOption(out, kOptComment, comment);
    if (flags != 0) {
        Put16(out, kEpbFlags);
        Put16(out, 4);
        Put32(out, flags);
    }
    Put32(out, 0);
    Finish(out, start);
}

namespace {

// Reads numbers of one section's byte order.
struct Order {
    bool big = false;
    std::uint16_t U16(const char* p) const {
        const auto* b = reinterpret_cast<const std::uint8_t*>(p);
        return big ? static_cast<std::uint16_t>(b[0] << 8 | b[1]) : static_cast<std::uint16_t>(b[1] << 8 | b[0]);
    }
    std::uint32_t U32(const char* p) const {
        const auto* b = reinterpret_cast<const std::uint8_t*>(p);
        return big ? (std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3])
                   : (std::uint32_t{b[3]} << 24 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[1]} << 8 | b[0]);
    }
};

std::string At(std::size_t offset, const std::string& what) {
    return "pcapng: at byte " + std::to_string(offset) + ": " + what;
}

// Calls f(code, value) for each option in [p, end) until opt_endofopt or the end.
template <class F>
void Options(const Order& order, const char* p, const char* end, std::size_t offset, F&& f) {
    while (end - p >= 4) {
        const std::uint16_t code = order.U16(p);
        const std::uint16_t length = order.U16(p + 2);
        if (code == kOptEnd) return;
        const std::size_t padded = (static_cast<std::size_t>(length) + 3) / 4 * 4;
        if (static_cast<std::size_t>(end - p - 4) < padded) throw FormatError(At(offset, "an option runs past its block"));
        f(code, std::string_view(p + 4, length));
        p += 4 + padded;
    }
}

// Microseconds since the epoch of a time stamp in units of `tsresol`.
std::int64_t ToMicros(std::uint64_t stamp, std::uint8_t tsresol) {
    const unsigned exponent = tsresol & 0x7F;
    unsigned __int128 value = stamp;
    if ((tsresol & 0x80) != 0) {
        if (exponent >= 64) return 0;
        value = value * 1000000u >> exponent;
    } else if (exponent > 6) {
        for (unsigned i = 6; i < exponent && value != 0; ++i) value /= 10;
    } else {
        for (unsigned i = exponent; i < 6; ++i) value *= 10;
    }
    const auto limit = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(value > limit ? limit : value);
}

}  // namespace

Capture Parse(std::string_view bytes, bool tolerateCut) {
    Capture capture;
    Order order;
    bool inSection = false;
    std::size_t sectionFirstInterface = 0;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t left = bytes.size() - at;
        if (left < 12) {
            if (tolerateCut && inSection) {
                capture.cutAt = at;
                break;
            }
            throw FormatError(At(at, "a block is cut short"));
        }
        const char* block = bytes.data() + at;
        std::uint32_t type = order.U32(block);
        if (type == kSectionHeaderBlock) {
            // The byte order is the section's own: read from its magic.
            const std::uint32_t magic = Order{false}.U32(block + 8);
            if (magic == kByteOrderMagic) {
                order.big = false;
            } else if (magic == 0x4D3C2B1A) {
                order.big = true;
            } else {
                throw FormatError(At(at, "a section header with no byte-order magic"));
            }
        } else if (!inSection) {
            throw FormatError(At(at, "not a pcapng file (no section header first)"));
        }
        const std::uint32_t length = order.U32(block + 4);
        if (length < 12 || length % 4 != 0) throw FormatError(At(at, "a block length of " + std::to_string(length)));
        if (length > left) {
            // A file cut while it was written still has its section header whole; a first
            // block that claims more than the file holds is damage, not a cut.
            if (tolerateCut && inSection) {
                capture.cutAt = at;
                break;
            }
            throw FormatError(At(at, "a block of " + std::to_string(length) + " bytes runs past the end of the file"));
        }
        if (order.U32(block + length - 4) != length) throw FormatError(At(at, "a block's two lengths differ"));
        const char* body = block + 8;
        const char* end = block + length - 4;
        const std::size_t size = static_cast<std::size_t>(end - body);
        switch (type) {
            case kSectionHeaderBlock: {
                if (size < 16) throw FormatError(At(at, "a section header too short"));
                Capture::Section section;
                section.bigEndian = order.big;
                section.major = order.U16(body + 4);
                section.minor = order.U16(body + 6);
                if (section.major != 1) throw FormatError(At(at, "pcapng version " + std::to_string(section.major)));
                Options(order, body + 16, end, at, [&](std::uint16_t code, std::string_view value) {
                    if (code == kOptComment) section.comments.emplace_back(value);
                    if (code == kShbHardware) section.hardware = value;
                    if (code == kShbOs) section.os = value;
                    if (code == kShbUserAppl) section.application = value;
                });
                capture.sections.push_back(std::move(section));
                sectionFirstInterface = capture.interfaces.size();
                inSection = true;
                break;
            }
            case kInterfaceBlock: {
                if (size < 8) throw FormatError(At(at, "an interface block too short"));
                Interface interface;
                interface.linkType = order.U16(body);
                interface.snapLength = order.U32(body + 4);
                Options(order, body + 8, end, at, [&](std::uint16_t code, std::string_view value) {
                    if (code == kOptComment) interface.comments.emplace_back(value);
                    if (code == kIfName) interface.name = value;
                    if (code == kIfDescription) interface.description = value;
                    if (code == kIfTsresol && !value.empty()) interface.tsresol = static_cast<std::uint8_t>(value[0]);
                });
                capture.interfaces.push_back(std::move(interface));
                break;
            }
            case kEnhancedPacketBlock:
            case kSimplePacketBlock: {
                Packet packet;
                packet.fileOffset = at;
                std::size_t captured = 0;
                const char* data = nullptr;
                if (type == kSimplePacketBlock) {
                    if (size < 4) throw FormatError(At(at, "a packet block too short"));
                    packet.interface = 0;
                    packet.originalLength = order.U32(body);
                    captured = std::min<std::size_t>(packet.originalLength, size - 4);
                    data = body + 4;
                } else {
                    if (size < 20) throw FormatError(At(at, "a packet block too short"));
                    packet.interface = order.U32(body);
                    packet.timestamp = std::uint64_t{order.U32(body + 4)} << 32 | order.U32(body + 8);
                    captured = order.U32(body + 12);
                    packet.originalLength = order.U32(body + 16);
                    data = body + 20;
                    if (captured > size - 20) throw FormatError(At(at, "packet data runs past its block"));
                }
                const std::size_t index = sectionFirstInterface + packet.interface;
                if (index >= capture.interfaces.size())
                    throw FormatError(At(at, "a packet of interface " + std::to_string(packet.interface) +
                                                 ", which was not described"));
                packet.interface = static_cast<std::uint32_t>(index);
                packet.micros = ToMicros(packet.timestamp, capture.interfaces[index].tsresol);
                packet.data.assign(data, captured);
                if (type == kEnhancedPacketBlock) {
                    const std::size_t padded = (captured + 3) / 4 * 4;
                    Options(order, data + padded, end, at, [&](std::uint16_t code, std::string_view value) {
                        if (code == kOptComment) packet.comments.emplace_back(value);
                        if (code == kEpbFlags && value.size() == 4) {
                            packet.hasFlags = true;
                            packet.flags = order.U32(value.data());
                        }
                    });
                }
                capture.packets.push_back(std::move(packet));
                break;
            }
            default:
                break;  // statistics, name resolution, custom blocks: not ours to read
        }
        at += length;
    }
    if (!inSection) throw FormatError("pcapng: an empty file");
    return capture;
}

Capture ReadFile(const std::string& path, bool tolerateCut) {
    std::optional<files::MappedFile> file;
    try {
        file.emplace(path, files::kMaxRecordingBytes);
    } catch (const files::FileError& error) {
        throw FormatError(error.what());
    }
    try {
        return Parse(file->Bytes(), tolerateCut);
    } catch (const FormatError& error) {
        throw FormatError(path + ": " + error.what());
    }
}

}  // namespace pcapng
