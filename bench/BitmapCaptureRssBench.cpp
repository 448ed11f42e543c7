// Peak memory of capturing a 128 MiB DIB from the simulated clipboard and pulling all its
// chunks: the capture sends from the locked block, so the peak may grow by little more
// than the program's own buffers. Prints "RSS bitmap_capture_extra_mib <n>".
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "quorsharemgr/BitmapSendProcess.h"
#include "quorsharemgr/ClipboardFormatBits.h"
#include "quorsharemgr/platform/Clipboard.h"

namespace p = quor::platform;

namespace {
long PeakKiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}
}  // namespace

int main()
{
    constexpr std::size_t kSize = 128u << 20;
    void* const app = reinterpret_cast<void*>(0x5150);
    void* const us = reinterpret_cast<void*>(0x7770);
    // Another application puts the bitmap there, written straight into the block.
    p::MemHandle h = p::GlobalAlloc(kSize);
    auto* dib = static_cast<unsigned char*>(p::GlobalLock(h));
    std::memset(dib, 0x5A, kSize);
    std::memset(dib, 0, 40);
    const std::uint32_t info = 40;
    const std::int32_t width = 4096;
    const std::int32_t height = 8191;
    const std::uint16_t planes = 1;
    const std::uint16_t bits = 32;
    std::memcpy(dib, &info, 4);
    std::memcpy(dib + 4, &width, 4);
    std::memcpy(dib + 8, &height, 4);
    std::memcpy(dib + 12, &planes, 2);
    std::memcpy(dib + 14, &bits, 2);
    (void)p::GlobalUnlock(h);
    if (!p::OpenClipboard(app) || !p::EmptyClipboard() || p::SetClipboardData(quor::kCfDib, h) == nullptr ||
        !p::CloseClipboard()) {
        std::fprintf(stderr, "could not set the bitmap\n");
        return 1;
    }
    const long before = PeakKiB();

    std::uint64_t sum = 0;
    std::uint64_t sent = 0;
    if (!p::OpenClipboard(us)) {
        return 1;
    }
    {
        quor::BitmapSendProcess capture;
        if (!capture.Init()) {
            std::fprintf(stderr, "capture failed\n");
            return 1;
        }
        const unsigned char* chunk = nullptr;
        std::uint32_t n = 0;
        while (capture.GetNextData(chunk, n)) {
            for (std::uint32_t i = 0; i < n; i += 4096) {
                sum += chunk[i];
            }
            sent += n;
        }
    }
    (void)p::CloseClipboard();
    const long after = PeakKiB();
    if (sent != kSize) {
        std::fprintf(stderr, "sent %llu of %zu bytes\n", static_cast<unsigned long long>(sent), kSize);
        return 1;
    }
    std::printf("checksum %llu\n", static_cast<unsigned long long>(sum));
    std::printf("RSS bitmap_capture_extra_mib %ld\n", (after - before) / 1024);
    return 0;
}
