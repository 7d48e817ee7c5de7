#include "tools/tallyport-check/ZipArchive.h"

#include <array>

namespace {

constexpr std::uint16_t kVersionNeeded = 20;
constexpr std::uint16_t kUtf8Names = 0x0800;

std::uint32_t Crc32(const std::string& bytes) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void Put16(std::string& out, std::uint16_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8);
}

void Put32(std::string& out, std::uint32_t value) {
    Put16(out, static_cast<std::uint16_t>(value & 0xFFFF));
    Put16(out, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace

void ZipArchive::Add(const std::string& name, const std::string& bytes, std::uint16_t dosDate,
                     std::uint16_t dosTime) {
    Member member{name, Crc32(bytes), static_cast<std::uint32_t>(bytes.size()),
                  static_cast<std::uint32_t>(body_.size()), dosDate, dosTime};
    Put32(body_, 0x04034B50);  // local file header
    Put16(body_, kVersionNeeded);
    Put16(body_, kUtf8Names);
    Put16(body_, 0);  // stored
    Put16(body_, member.time);
    Put16(body_, member.date);
    Put32(body_, member.crc);
    Put32(body_, member.size);
    Put32(body_, member.size);
    Put16(body_, static_cast<std::uint16_t>(name.size()));
    Put16(body_, 0);
    body_ += name;
    body_ += bytes;
    members_.push_back(std::move(member));
}

std::string ZipArchive::Bytes() const {
    std::string directory;
    for (const Member& member : members_) {
        Put32(directory, 0x02014B50);  // central directory header
        Put16(directory, kVersionNeeded);
        Put16(directory, kVersionNeeded);
        Put16(directory, kUtf8Names);
        Put16(directory, 0);
        Put16(directory, member.time);
        Put16(directory, member.date);
        Put32(directory, member.crc);
        Put32(directory, member.size);
        Put32(directory, member.size);
        Put16(directory, static_cast<std::uint16_t>(member.name.size()));
        Put16(directory, 0);  // extra field
        Put16(directory, 0);  // comment
        Put16(directory, 0);  // disk
        Put16(directory, 0);  // internal attributes
        Put32(directory, 0);  // external attributes
        Put32(directory, member.offset);
        directory += member.name;
    }
    std::string archive = body_ + directory;
    Put32(archive, 0x06054B50);  // end of central directory
    Put16(archive, 0);
    Put16(archive, 0);
    Put16(archive, static_cast<std::uint16_t>(members_.size()));
    Put16(archive, static_cast<std::uint16_t>(members_.size()));
    Put32(archive, static_cast<std::uint32_t>(directory.size()));
    Put32(archive, static_cast<std::uint32_t>(body_.size()));
    Put16(archive, 0);
    return archive;
}
