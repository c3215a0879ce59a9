#include "core/checksum/digest.h"

#include <algorithm>
#include <cstring>
#include <openssl/evp.h>
#include <utility>

#include "core/base/error.h"
#include "core/base/shared_library.h"

namespace cartscope::core {

namespace {

// The digest library is loaded the first time a digest is made, not at every start: it is the
// largest library the programs use, and most commands never compute a digest (loading it costs
// a short command a fifth of its time).
struct Crypto {
    decltype(&EVP_md5) md5 = nullptr;
    decltype(&EVP_sha1) sha1 = nullptr;
    decltype(&EVP_sha256) sha256 = nullptr;
    decltype(&EVP_MD_CTX_new) ctxNew = nullptr;
    decltype(&EVP_MD_CTX_free) ctxFree = nullptr;
    decltype(&EVP_MD_CTX_copy_ex) ctxCopy = nullptr;
    decltype(&EVP_DigestInit_ex) init = nullptr;
    decltype(&EVP_DigestUpdate) update = nullptr;
    decltype(&EVP_DigestFinal_ex) final = nullptr;
};

// Throws when the library or one of its functions is missing (a broken installation).
const Crypto& crypto()
{
    return libraryTable<Crypto>(
        CARTSCOPE_LIBCRYPTO, "The digest library", [](const SharedLibrary& library, Crypto& c) {
            return library.bind(c.md5, "EVP_md5") && library.bind(c.sha1, "EVP_sha1") &&
                   library.bind(c.sha256, "EVP_sha256") &&
                   library.bind(c.ctxNew, "EVP_MD_CTX_new") &&
                   library.bind(c.ctxFree, "EVP_MD_CTX_free") &&
                   library.bind(c.ctxCopy, "EVP_MD_CTX_copy_ex") &&
                   library.bind(c.init, "EVP_DigestInit_ex") &&
                   library.bind(c.update, "EVP_DigestUpdate") &&
                   library.bind(c.final, "EVP_DigestFinal_ex");
        });
}

const EVP_MD* evpOf(DigestKind kind)
{
    switch (kind) {
    case DigestKind::Md5:
        return crypto().md5();
    case DigestKind::Sha1:
        return crypto().sha1();
    case DigestKind::Sha256:
        return crypto().sha256();
    }
    return crypto().sha256();
}

EVP_MD_CTX* ctxOf(void* p)
{
    return static_cast<EVP_MD_CTX*>(p);
}

// The library failing to set up a digest is out of memory or a broken installation; the user
// can do nothing but read the message.
[[noreturn]] void digestFailure()
{
    throw Error("The digest library failed");
}

} // namespace

const char* digestName(DigestKind kind)
{
    switch (kind) {
    case DigestKind::Md5:
        return "MD5";
    case DigestKind::Sha1:
        return "SHA-1";
    case DigestKind::Sha256:
        return "SHA-256";
    }
    return "";
}

void Digest::CtxDeleter::operator()(void* ctx) const
{
    crypto().ctxFree(ctxOf(ctx));
}

Digest::Digest(DigestKind kind) : m_kind(kind), m_ctx(crypto().ctxNew())
{
    if (!m_ctx || crypto().init(ctxOf(m_ctx.get()), evpOf(kind), nullptr) != 1)
        digestFailure();
}

Digest::Digest(const Digest& other) : m_kind(other.m_kind), m_ctx(crypto().ctxNew())
{
    if (!m_ctx || crypto().ctxCopy(ctxOf(m_ctx.get()), ctxOf(other.m_ctx.get())) != 1)
        digestFailure();
}

Digest& Digest::operator=(const Digest& other)
{
    if (this != &other)
        *this = Digest(other);
    return *this;
}

Digest::~Digest() = default;

void Digest::update(std::span<const std::uint8_t> bytes)
{
    if (!bytes.empty() && crypto().update(ctxOf(m_ctx.get()), bytes.data(), bytes.size()) != 1)
        digestFailure();
}

DigestBytes Digest::value() const
{
    Digest copy(*this);
    DigestBytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (crypto().final(ctxOf(copy.m_ctx.get()), out.data(), &length) != 1)
        digestFailure();
    out.resize(length);
    return out;
}

namespace {

// Ring blocks outlive their sink in a small pool: a run over many images would otherwise fault
// in fresh pages for every image.
class BlockPool {
public:
    static BlockPool& instance()
    {
        static BlockPool pool;
        return pool;
    }
    std::uint8_t* take()
    {
        {
            const std::lock_guard lock(m_mutex);
            if (!m_free.empty()) {
                std::uint8_t* b = m_free.back().release();
                m_free.pop_back();
                return b;
            }
        }
        return new std::uint8_t[kReadPassBlockSize];
    }
    void give(std::uint8_t* block)
    {
        std::unique_ptr<std::uint8_t[]> owned(block);
        const std::lock_guard lock(m_mutex);
        if (m_free.size() < kMaxPooled)
            m_free.push_back(std::move(owned));
    }

private:
    static constexpr std::size_t kMaxPooled = 16;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<std::uint8_t[]>> m_free;
};

} // namespace

void DigestSink::PoolReturn::operator()(std::uint8_t* block) const
{
    BlockPool::instance().give(block);
}

DigestSink::DigestSink(DigestSelection selection, bool threaded)
    : m_selection(selection), m_threaded(threaded)
{
    for (const DigestKind kind : kDigestKinds)
        if (m_selection.has(kind)) {
            m_states[static_cast<std::size_t>(kind)].emplace(kind);
            ++m_workerCount;
        }
}

DigestSink::~DigestSink()
{
    stopWorkers();
}

void DigestSink::startWorkers()
{
    if (!m_workers.empty() || m_workerCount == 0)
        return;
    for (std::size_t i = 0; i < kDigestKindCount; ++i)
        if (m_states[i])
            m_workers.emplace_back([this, i] { work(i); });
}

void DigestSink::stopWorkers()
{
    {
        const std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_filled.notify_all();
    for (auto& t : m_workers)
        t.join();
    m_workers.clear();
}

void DigestSink::consume(std::span<const std::uint8_t> block, std::uint64_t)
{
    if (m_workerCount == 0)
        return;
    if (!m_threaded) {
        for (auto& state : m_states)
            if (state)
                state->update(block);
        return;
    }
    startWorkers();
    // A source with larger blocks (none today) is cut into slot-sized pieces.
    while (!block.empty()) {
        const std::size_t n = std::min(block.size(), kReadPassBlockSize);
        push(block.first(n));
        block = block.subspan(n);
    }
}

void DigestSink::push(std::span<const std::uint8_t> piece)
{
    std::unique_lock lock(m_mutex);
    Slot& slot = m_ring[m_published % kRingSlots];
    m_freed.wait(lock, [&] { return slot.pending == 0; });
    // The slot is no worker's now: copy without holding the lock. Slots are taken from the
    // pool on first use, so a small image holds only the blocks it needs.
    lock.unlock();
    if (!slot.bytes)
        slot.bytes.reset(BlockPool::instance().take());
    std::memcpy(slot.bytes.get(), piece.data(), piece.size());
    slot.size = piece.size();
    lock.lock();
    slot.pending = m_workers.size();
    ++m_published;
    lock.unlock();
    m_filled.notify_all();
}

void DigestSink::work(std::size_t kindIndex)
{
    Digest& digest = *m_states[kindIndex];
    std::uint64_t next = 0;
    // Ends when the sink closes and every published slot has been digested.
    for (;;) {
        std::unique_lock lock(m_mutex);
        m_filled.wait(lock, [&] { return next < m_published || m_closing; });
        if (next >= m_published)
            return;
        Slot& slot = m_ring[next % kRingSlots];
        lock.unlock();
        try {
            if (!m_failed)
                digest.update(std::span<const std::uint8_t>(slot.bytes.get(), slot.size));
        } catch (...) {
            // Reported by finish(); the slots keep being released so the read never stalls.
            m_failed = true;
        }
        lock.lock();
        ++next;
        if (--slot.pending == 0) {
            lock.unlock();
            m_freed.notify_all();
        }
    }
}

void DigestSink::finish(std::uint64_t)
{
    // Workers drain every published slot before they leave, so the states are complete.
    stopWorkers();
    m_closing = false;
    if (m_failed)
        digestFailure();
}

} // namespace cartscope::core
