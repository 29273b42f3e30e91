// record.cpp -- reading records from the input and the checksum operations on them.
#include "validator/record.h"

#include <cstring>

#include "validator/crc32.h"

namespace tabrel {

std::size_t InputStream::available() noexcept
{
    if (pos_ == end_ && !ended_) {
        pos_ = 0;
        end_ = std::fread(block_, 1, kBlockSize, file_);
        if (end_ == 0)
            ended_ = true;
    }
    return end_ - pos_;
}

int InputStream::get() noexcept
{
    if (available() == 0)
        return -1;
    return block_[pos_++];
}

int readRecord(InputStream& input, TextBuffer& text, FieldBuffer& field) noexcept
{
    std::size_t stored = 0;
    text[0] = '\0';
    for (;;) {
        const std::size_t ready = input.available();
        if (ready == 0)
            return 0;  // end of input before CR LF
        // Copy plain bytes up to the next CR, at most until the line is too long.
        const std::size_t span = ready < kOverlong - stored ? ready : kOverlong - stored;
        const void* cr = std::memchr(input.data(), '\r', span);
        const std::size_t take =
            cr ? static_cast<std::size_t>(static_cast<const unsigned char*>(cr) - input.data()) : span;
        std::memcpy(text + stored, input.data(), take);
        input.skip(take);
        stored += take;
        if (stored == kOverlong) {
            text[0] = '\0';
            return 0;  // line too long: these bytes are consumed and lost
        }
        if (!cr)
            continue;
        input.skip(1);  // the CR
        const int next = input.get();
        if (next == '\n')
            break;
        // A CR without LF is data; the byte after it is read again.
        if (next != -1)
            input.unget();
        text[stored++] = '\r';
        if (stored == kOverlong || next == -1) {
            text[0] = '\0';
            return 0;
        }
    }
    text[stored] = '\0';
    if (stored >= kFieldLength) {
        std::memcpy(field, text + stored - kFieldLength, kFieldLength + 1);
        text[stored - kFieldLength] = '\0';
    } else {
        // Too short for a field: the bytes there are, and an empty text.
        std::memset(field, 0, kFieldBufferSize);
        std::memcpy(field, text, stored);
        text[0] = '\0';
    }
    return 1;
}

std::uint32_t recordCrc(const char* text) noexcept
{
    std::uint32_t running = 0;
    crc32Update(text, static_cast<std::uint32_t>(std::strlen(text)), &running);
    return running;
}

void formatCrcField(std::uint32_t value, char* out) noexcept
{
    for (std::size_t i = kFieldLength; i-- > 0;) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

bool crcFieldMatches(const char* field, std::uint32_t value) noexcept
{
    // Ten digits written zero-padded have one reading; anything else never
    // equals "%010lu" of a value.
    std::uint64_t parsed = 0;
    for (std::size_t i = 0; i < kFieldLength; ++i) {
        const unsigned digit = static_cast<unsigned char>(field[i]) - unsigned('0');
        if (digit > 9)
            return false;
        parsed = parsed * 10 + digit;
    }
    return parsed == value;
}

std::uint32_t addToRunningCrc(const char* text, const char* field, std::uint32_t& running) noexcept
{
    crc32Update(text, static_cast<std::uint32_t>(std::strlen(text)), &running);
    const void* nul = std::memchr(field, '\0', kFieldLength);
    const std::size_t fieldLength =
        nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : kFieldLength;
    crc32Update(field, static_cast<std::uint32_t>(fieldLength), &running);
    return running;
}

bool beginsWith(const char* text, const char* tag) noexcept
{
    return std::strncmp(text, tag, std::strlen(tag)) == 0;
}

}  // namespace tabrel
