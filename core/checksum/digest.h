#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/base/hex.h"
#include "core/io/read_pass.h"

// MD5, SHA-1 and SHA-256 through OpenSSL's EVP interface, and a read-pass sink that runs the
// digests asked for on worker threads beside the read.
namespace cartscope::core {

enum class DigestKind { Md5, Sha1, Sha256 };
inline constexpr std::array<DigestKind, 3> kDigestKinds = {DigestKind::Md5, DigestKind::Sha1,
                                                           DigestKind::Sha256};
inline constexpr std::size_t kDigestKindCount = kDigestKinds.size();

// "MD5", "SHA-1", "SHA-256".
const char* digestName(DigestKind kind);

// A finished digest as raw bytes (16, 20 or 32 of them).
using DigestBytes = std::vector<std::uint8_t>;

// Lower-case hex of raw bytes, two digits each, in order: how digests are written.
inline std::string lowerHex(std::span<const std::uint8_t> bytes)
{
    return hexBytes(bytes, HexCase::Lower);
}

// One running digest. Copying continues from the same state (EVP_MD_CTX_copy_ex): the state at
// the end of a file can be finished as it is and, in a copy, fed further padding bytes.
class Digest {
public:
    explicit Digest(DigestKind kind);
    Digest(const Digest& other);
    Digest& operator=(const Digest& other);
    Digest(Digest&&) noexcept = default;
    Digest& operator=(Digest&&) noexcept = default;
    ~Digest();

    DigestKind kind() const { return m_kind; }
    void update(std::span<const std::uint8_t> bytes);
    // The digest of everything fed so far; the state itself stays open for more bytes.
    DigestBytes value() const;

private:
    struct CtxDeleter {
        void operator()(void* ctx) const;
    };
    DigestKind m_kind;
    std::unique_ptr<void, CtxDeleter> m_ctx;
};

// Which digests a pass computes.
struct DigestSelection {
    std::array<bool, kDigestKindCount> want{};

    static DigestSelection all() { return {{true, true, true}}; }
    DigestSelection& add(DigestKind kind)
    {
        want[static_cast<std::size_t>(kind)] = true;
        return *this;
    }
    bool has(DigestKind kind) const { return want[static_cast<std::size_t>(kind)]; }
    bool any() const { return want[0] || want[1] || want[2]; }
};

// A read-pass sink that computes the selected digests. Threaded, each digest runs on its own
// worker thread, so MD5, SHA-1 and SHA-256 run beside each other and beside the read and the
// CRC-32: each block is copied into a small ring (kRingSlots blocks of at most
// kReadPassBlockSize bytes, reused from a small process-wide pool); the read waits only when
// every slot is still being digested, so memory stays at the ring whatever the image size.
// Workers start with the first block and end with finish() or the destructor (a pass stopped
// part way just drops the sink). Not threaded, the digests run in consume() on the reading
// thread: the better choice when several images are read at once and the cores are busy
// anyway (no copy, no hand-over).
class DigestSink final : public ReadSink {
public:
    static constexpr std::size_t kRingSlots = 4;

    explicit DigestSink(DigestSelection selection, bool threaded = true);
    ~DigestSink() override;
    DigestSink(const DigestSink&) = delete;
    DigestSink& operator=(const DigestSink&) = delete;

    void consume(std::span<const std::uint8_t> block, std::uint64_t position) override;
    void finish(std::uint64_t total) override;

    const DigestSelection& selection() const { return m_selection; }
    // The state at the end of the pass (after finish), to finish or to continue in a copy;
    // nullopt when that digest was not selected.
    const std::optional<Digest>& state(DigestKind kind) const
    {
        return m_states[static_cast<std::size_t>(kind)];
    }

private:
    void startWorkers();
    void stopWorkers();
    void push(std::span<const std::uint8_t> piece);
    void work(std::size_t kindIndex);

    struct PoolReturn {
        void operator()(std::uint8_t* block) const;
    };
    struct Slot {
        std::unique_ptr<std::uint8_t[], PoolReturn> bytes;
        std::size_t size = 0;
        std::size_t pending = 0; // workers that have not digested this slot yet
    };

    DigestSelection m_selection;
    bool m_threaded;
    std::array<std::optional<Digest>, kDigestKindCount> m_states;
    std::size_t m_workerCount = 0;
    std::array<Slot, kRingSlots> m_ring;
    std::mutex m_mutex;
    std::condition_variable m_filled; // a slot was published, or the end was reached
    std::condition_variable m_freed;  // a slot was digested by every worker
    std::uint64_t m_published = 0;    // slots handed out so far
    bool m_closing = false;
    std::atomic<bool> m_failed{false};
    std::vector<std::thread> m_workers;
};

} // namespace cartscope::core
