#include "protocol/sim/vantorwire.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t imageMagic[4] = {'T', 'V', 'I', 'M'};

} // namespace

void vantorSetText(uint8_t (&field)[16], const std::string &text)
{
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), std::min(text.size(), sizeof field));
}

std::string vantorText(const uint8_t (&field)[16])
{
    const uint8_t *end = std::find(field, field + sizeof field, 0);
    return std::string(field, end);
}

VantorFirmwareInformation vantorFirmwareInformation(
    uint8_t version, uint8_t subversion, uint8_t bugfix, uint32_t build, const std::string &name, bool valid)
{
    VantorFirmwareInformation information {};
    information.version = version;
    information.subversion = subversion;
    information.bugfix = bugfix;
    vantorStore32(information.build, build);
    vantorSetText(information.name, name);
    information.flags = valid ? vantorFirmwareValid : 0;
    return information;
}

VantorFirmwareInformation vantorFirmwareOfImage(const std::vector<uint8_t> &image)
{
    VantorFirmwareInformation information {};
    information.flags = vantorFirmwareValid;
    if (image.size() < sizeof(VantorImageHeader) || !std::equal(imageMagic, imageMagic + 4, image.begin()))
        return information;
    VantorImageHeader header;
    std::memcpy(&header, image.data(), sizeof header);
    information.version = header.version;
    information.subversion = header.subversion;
    information.bugfix = header.bugfix;
    std::memcpy(information.build, header.build, sizeof header.build);
    std::memcpy(information.name, header.name, sizeof header.name);
    return information;
}

std::vector<uint8_t> vantorImagePayload(uint8_t version, uint8_t subversion, uint8_t bugfix, uint32_t build,
    const std::string &name, std::size_t size)
{
    VantorImageHeader header {};
    std::copy(imageMagic, imageMagic + 4, header.magic);
    header.version = version;
    header.subversion = subversion;
    header.bugfix = bugfix;
    vantorStore32(header.build, build);
    vantorSetText(header.name, name);
    std::vector<uint8_t> payload = vantorBytes(header);
    // A filler that differs from byte to byte, so a lost or repeated batch shows.
    for (std::size_t i = payload.size(); i < size; ++i)
        payload.push_back(uint8_t((i * 7 + i / 256) & 0xFF));
    return payload;
}
