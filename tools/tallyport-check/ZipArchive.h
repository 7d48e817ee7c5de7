#pragma once
// A zip archive built in memory, members stored uncompressed: every unzip
// opens it, and a support bundle is small. Names are UTF-8 (flagged as such).

#include <cstdint>
#include <string>
#include <vector>

class ZipArchive {
public:
    // dosDate and dosTime as FileTimeToDosDateTime gives them.
    void Add(const std::string& name, const std::string& bytes, std::uint16_t dosDate, std::uint16_t dosTime);
    // The whole archive: the members, then the central directory.
    std::string Bytes() const;

private:
    struct Member {
        std::string name;
        std::uint32_t crc = 0;
        std::uint32_t size = 0;
        std::uint32_t offset = 0;
        std::uint16_t date = 0;
        std::uint16_t time = 0;
    };
    std::string body_;
    std::vector<Member> members_;
};
