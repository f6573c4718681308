// The transfer encoders on their own: base64 on random binary data,
// quoted-printable on typical mail text. Bytes per second count input bytes.
//
// *_Memory feeds the encoder object in 64 KiB pieces into a reused string (the
// encoding work alone); *_Stream runs the FILE* entry points the message writer
// uses, from a memory stream into /dev/null (encoding plus stdio).

#include "mime/Encoders.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kPiece = 64 * 1024;

const std::vector<unsigned char>& RandomBytes()
{
    static const std::vector<unsigned char> bytes = [] {
        std::vector<unsigned char> v(16 << 20);
        std::mt19937_64 rng(20240601);
        for (std::size_t i = 0; i + 8 <= v.size(); i += 8) {
            const std::uint64_t r = rng();
            std::memcpy(&v[i], &r, 8);
        }
        return v;
    }();
    return bytes;
}

// Prose in lines of up to 72 characters ending in LF, mostly ASCII, with some
// Latin-1 words, equals signs and the odd trailing blank, as typed mail is.
const std::string& TypicalText()
{
    static const std::string text = [] {
        // clang-format off
        static const char* const words[] = {
            "the", "message", "of", "and", "to", "a", "in", "is", "that", "for", "it", "with",
            "as", "was", "on", "be", "at", "by", "this", "have", "from", "or", "one", "had",
            "meeting", "attached", "please", "report", "Thursday", "regards", "numbers", "see",
            "caf\xE9", "Gr\xFC\xDF" "e", "na\xEFve", "x=1", "50%", "(draft)", "e-mail:", "--"};
        // clang-format on
        std::mt19937 rng(7);
        std::uniform_int_distribution<std::size_t> pick(0, sizeof words / sizeof words[0] - 1);
        std::uniform_int_distribution<int> chance(0, 99);
        std::string t;
        std::size_t column = 0;
        while (t.size() < (4u << 20)) {
            std::string w = words[pick(rng)];
            if (column + w.size() + 1 > 72) {
                if (chance(rng) < 3) t += ' ';
                t += '\n';
                column = 0;
                if (chance(rng) < 10) t += '\n';
            } else if (column > 0) {
                t += ' ';
                ++column;
            }
            t += w;
            column += w.size();
        }
        t += '\n';
        return t;
    }();
    return text;
}

struct FileCloser {
    void operator()(FILE* f) const
    {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

File DevNull()
{
    File f(std::fopen("/dev/null", "wb"));
    return f;
}

// Feeds the whole input to a fresh encoder in kPiece pieces, once per iteration.
template <typename Encoder, typename Input>
void EncodeInPieces(benchmark::State& state, const Input& in, std::size_t outPerPiece)
{
    std::string out;
    out.reserve(outPerPiece);
    for (auto _ : state) {
        Encoder encoder;
        for (std::size_t at = 0; at < in.size(); at += kPiece) {
            out.clear();
            encoder.Encode(in.data() + at, std::min(kPiece, in.size() - at), out);
            benchmark::DoNotOptimize(out.data());
        }
        out.clear();
        encoder.Finish(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(in.size()));
}

void BM_Base64_Memory(benchmark::State& state)
{
    EncodeInPieces<Base64Encoder>(state, RandomBytes(), kPiece * 2);
}

void BM_Base64_Stream(benchmark::State& state)
{
    auto& in = const_cast<std::vector<unsigned char>&>(RandomBytes());
    File out = DevNull();
    for (auto _ : state) {
        File src(fmemopen(in.data(), in.size(), "rb"));
        benchmark::DoNotOptimize(EncodeBase64Stream(src.get(), out.get()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(in.size()));
}

void BM_QuotedPrintable_Memory(benchmark::State& state)
{
    EncodeInPieces<QuotedPrintableEncoder>(state, TypicalText(), kPiece * 3);
}

void BM_QuotedPrintable_Stream(benchmark::State& state)
{
    const std::string& in = TypicalText();
    File out = DevNull();
    for (auto _ : state) benchmark::DoNotOptimize(EncodeQuotedPrintableText(in.c_str(), out.get()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(in.size()));
}

}  // namespace

BENCHMARK(BM_Base64_Memory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64_Stream)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuotedPrintable_Memory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuotedPrintable_Stream)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
