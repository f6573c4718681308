// A finished message as the sendmail interface reads it: the header block,
// the addresses of every field, and the body in its wire form. No address
// holds a line break, and the wire form has no bare CR, no bare LF and no
// line of a single dot, whatever came in.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "mail/HeaderAddresses.h"
#include "mail/RawMessage.h"

namespace {

void CheckWire(const std::string& wire)
{
    for (std::size_t at = wire.find('\n'); at != std::string::npos; at = wire.find('\n', at + 1))
        if (at == 0 || wire[at - 1] != '\r') fuzzcheck::Fail("a bare LF on the wire", wire);
    for (std::size_t at = wire.find('\r'); at != std::string::npos; at = wire.find('\r', at + 1))
        if (at + 1 == wire.size() || wire[at + 1] != '\n')
            fuzzcheck::Fail("a bare CR on the wire", wire);
    if (wire == "." || wire.rfind(".\r\n", 0) == 0 || wire.find("\r\n.\r\n") != std::string::npos ||
        (wire.size() >= 3 && wire.compare(wire.size() - 3, 3, "\r\n.") == 0))
        fuzzcheck::Fail("a line of a single dot on the wire", wire);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    const bool dotEnds = data[0] & 1;
    FILE* in = fmemopen(const_cast<std::uint8_t*>(data + 1), size - 1, "rb");
    FILE* out = std::tmpfile();
    if (!in || !out) std::abort();
    std::vector<std::string> fields;
    std::string bodyStart;
    const HeaderBlock read = ReadHeaderBlock(in, dotEnds, fields, bodyStart);
    if (read == HeaderBlock::READ || read == HeaderBlock::ENDED) {
        WireWriter writer(out);
        for (const std::string& field : fields) {
            std::vector<std::string> addresses;
            if (ParseAddressList(FieldValue(field), addresses))
                for (const std::string& address : addresses)
                    if (address.find_first_of("\r\n") != std::string::npos)
                        fuzzcheck::Fail("a line break in an address", address);
            writer.Write(field);
        }
        writer.Write("\r\n", 2);
        writer.Write(bodyStart);
        if (read == HeaderBlock::READ && !writer.CopyFrom(in, dotEnds)) std::abort();
        if (!writer.Finish()) std::abort();
        std::string wire(static_cast<std::size_t>(std::ftell(out)), '\0');
        std::rewind(out);
        if (std::fread(&wire[0], 1, wire.size(), out) != wire.size()) std::abort();
        CheckWire(wire);
    }
    std::fclose(in);
    std::fclose(out);
    return 0;
}
