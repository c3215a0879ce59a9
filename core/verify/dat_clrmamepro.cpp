#include <array>
#include <cstring>

#include "core/base/error.h"
#include "core/verify/dat.h"
#include "core/verify/dat_builder.h"

// The classic ROM managers' text DAT: blocks `word ( ... )` holding `key value` pairs and nested
// blocks, a value a bare word or a "quoted string" (no escapes: a quote ends it).
//
//   clrmamepro ( name "Nintendo - Nintendo DS" version 20260101 )
//   game ( name "A (USA)" description "A (USA)" rom ( name "A (USA).nds" size 1024 crc 1a2b3c4d
//          md5 ... sha1 ... serial "NTR-AAAE-USA" ) )
namespace cartscope::core {

namespace {

// Real DATs nest three levels (game, rom, its values); MAME's a few more at most.
constexpr int kMaxDepth = 8;
// The longest word or string taken: far above any name or comment of a real DAT.
constexpr std::size_t kMaxValueLength = 65536;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

struct Token {
    enum Kind { End, Open, Close, Word, String } kind = End;
    std::string_view text;
    std::ptrdiff_t offset = 0;
};

class Tokenizer {
public:
    Tokenizer(std::span<const char> text, const dat::DatError& err) : m_text(text), m_err(err)
    {
        // A UTF-8 byte order mark in front is no part of the first word.
        if (m_text.size() >= 3 && std::memcmp(m_text.data(), "\xEF\xBB\xBF", 3) == 0)
            m_at = 3;
    }

    // Each call moves past at least one byte or ends: bounded by the text's length.
    Token next()
    {
        while (m_at < m_text.size() && isSpace(m_text[m_at]))
            ++m_at;
        Token t;
        t.offset = static_cast<std::ptrdiff_t>(m_at);
        if (m_at == m_text.size())
            return t;
        const std::string_view rest(m_text.data() + m_at, m_text.size() - m_at);
        if (rest.front() == '"') {
            // A string ends at its quote on the same line: one left open would swallow the DAT.
            const std::size_t end = rest.find_first_of("\"\n", 1);
            if (end == std::string_view::npos || rest[end] != '"')
                m_err.at(t.offset, "unterminated string");
            t.kind = Token::String;
            t.text = rest.substr(1, end - 1);
            m_at += end + 1;
        } else {
            std::size_t end = 0;
            while (end < rest.size() && !isSpace(rest[end]))
                ++end;
            t.text = rest.substr(0, end);
            t.kind = t.text == "(" ? Token::Open : t.text == ")" ? Token::Close : Token::Word;
            m_at += end;
        }
        if (t.text.size() > kMaxValueLength)
            m_err.at(t.offset, "a value longer than " + std::to_string(kMaxValueLength) + " bytes");
        return t;
    }

private:
    std::span<const char> m_text;
    const dat::DatError& m_err;
    std::size_t m_at = 0;
};

// The parse of one DAT: blocks read one token at a time, nothing kept but the fields wanted.
class Parser {
public:
    Parser(std::span<const char> text, const dat::DatError& err, dat::DatBuilder& builder,
           DatInfo& info)
        : m_tokens(text, err), m_err(err), m_builder(builder), m_info(info)
    {}

    void run()
    {
        // Bounded by the tokens: every pass takes at least one.
        for (Token t = m_tokens.next(); t.kind != Token::End; t = m_tokens.next()) {
            if (t.kind != Token::Word)
                m_err.at(t.offset, "expected a block name, found \"" + dat::echo(t.text) + "\"");
            expectOpen(t);
            if (equalsIgnoreCase(t.text, "clrmamepro") || equalsIgnoreCase(t.text, "emulator"))
                header();
            else if (equalsIgnoreCase(t.text, "game") || equalsIgnoreCase(t.text, "machine") ||
                     equalsIgnoreCase(t.text, "resource"))
                game();
            else
                skipBlock(1);
        }
    }

private:
    void expectOpen(const Token& name)
    {
        if (m_tokens.next().kind != Token::Open)
            m_err.at(name.offset, "expected \"(\" after \"" + dat::echo(name.text) + "\"");
    }

    // The value of `key`: a word or a string; a block is reported as nullopt after skipping it
    // (at `depth`, the depth of the block holding the key).
    std::optional<std::string_view> value(const Token& key, int depth)
    {
        const Token v = m_tokens.next();
        switch (v.kind) {
        case Token::Word:
        case Token::String:
            return v.text;
        case Token::Open:
            skipBlock(depth + 1);
            return std::nullopt;
        case Token::Close:
        case Token::End:
            break;
        }
        m_err.at(key.offset, "\"" + dat::echo(key.text) + "\" has no value");
    }

    // The next key of a block, or nullopt at its ")".
    std::optional<Token> key()
    {
        const Token t = m_tokens.next();
        switch (t.kind) {
        case Token::Close:
            return std::nullopt;
        case Token::End:
            m_err.at(t.offset, "a block is not closed (\")\" missing)");
        case Token::Open:
            m_err.at(t.offset, "\"(\" without a name");
        case Token::Word:
        case Token::String:
            break;
        }
        return t;
    }

    // The rest of a block whose "(" was read, itself at `depth`; the blocks inside it too, as
    // long as none lies deeper than kMaxDepth.
    void skipBlock(int depth)
    {
        int open = 1;
        // Bounded by the tokens: every pass takes one.
        while (open > 0) {
            const Token t = m_tokens.next();
            if (t.kind == Token::End)
                m_err.at(t.offset, "a block is not closed (\")\" missing)");
            if (t.kind == Token::Open && depth + open++ > kMaxDepth)
                m_err.at(t.offset,
                         "blocks nested deeper than " + std::to_string(kMaxDepth) + " levels");
            if (t.kind == Token::Close)
                --open;
        }
    }

    void header()
    {
        // Bounded by the tokens.
        while (const auto k = key()) {
            const auto v = value(*k, 1);
            if (!v)
                continue;
            if (k->text == "name")
                m_info.name = *v;
            else if (k->text == "version")
                m_info.version = *v;
            if (m_info.header.size() < kMaxDatHeaderFields)
                m_info.header.emplace_back(std::string(k->text), std::string(*v));
        }
    }

    void game()
    {
        m_builder.checkCancelled();
        dat::GameFields fields;
        bool begun = false; // the builder has the fields (at the first rom)
        // Bounded by the tokens.
        while (const auto k = key()) {
            if (k->text == "rom") {
                expectOpen(*k);
                const dat::RomFields r = rom(*k);
                if (!begun) {
                    m_builder.beginGame(std::move(fields));
                    begun = true;
                }
                m_builder.addRom(r);
                continue;
            }
            if (k->text == "release") {
                expectOpen(*k);
                if (!begun)
                    fields.releases += release();
                else
                    skipBlock(2);
                continue;
            }
            const auto v = value(*k, 1);
            if (!v || begun)
                continue;
            if (k->text == "name")
                fields.name = *v;
            else if (k->text == "cloneof")
                fields.cloneOf = *v;
            else if (k->text == "id")
                fields.id = *v;
            else if (k->text == "cloneofid")
                fields.cloneOfId = *v;
        }
    }

    dat::RomFields rom(const Token& at)
    {
        dat::RomFields r;
        r.offset = at.offset;
        struct Field {
            const char* key;
            std::string_view dat::RomFields::*field;
        };
        static constexpr std::array<Field, 9> kFields = {{
            {"name", &dat::RomFields::name},
            {"size", &dat::RomFields::size},
            {"crc", &dat::RomFields::crc},
            {"md5", &dat::RomFields::md5},
            {"sha1", &dat::RomFields::sha1},
            {"sha256", &dat::RomFields::sha256},
            {"serial", &dat::RomFields::serial},
            {"status", &dat::RomFields::status},
            {"flags", &dat::RomFields::status},
        }};
        // Bounded by the tokens.
        while (const auto k = key()) {
            const auto v = value(*k, 2);
            if (!v)
                continue;
            for (const Field& f : kFields)
                if (k->text == f.key)
                    r.*f.field = *v;
        }
        return r;
    }

    // "region/language\n" of a release block.
    std::string release()
    {
        std::string_view region, language;
        // Bounded by the tokens.
        while (const auto k = key()) {
            const auto v = value(*k, 2);
            if (v && k->text == "region")
                region = *v;
            else if (v && k->text == "language")
                language = *v;
        }
        return std::string(region) + "/" + std::string(language) + "\n";
    }

    Tokenizer m_tokens;
    const dat::DatError& m_err;
    dat::DatBuilder& m_builder;
    DatInfo& m_info;
};

} // namespace

bool isClrmameproText(std::span<const char> text)
{
    std::string_view rest(text.data(), text.size());
    if (rest.starts_with("\xEF\xBB\xBF"))
        rest.remove_prefix(3);
    // Only the first few bytes are looked at.
    const auto skipSpace = [&] {
        while (!rest.empty() && isSpace(rest.front()))
            rest.remove_prefix(1);
    };
    skipSpace();
    std::size_t end = 0;
    while (end < rest.size() && end < 16 && !isSpace(rest[end]))
        ++end;
    const std::string_view word = rest.substr(0, end);
    bool known = false;
    for (const char* name : {"clrmamepro", "emulator", "game", "machine", "resource"})
        known = known || equalsIgnoreCase(word, name);
    if (!known)
        return false;
    rest.remove_prefix(end);
    skipSpace();
    return rest.starts_with("(");
}

void DatSet::addClrmamepro(const std::string& file, std::span<const char> text,
                           const std::function<bool()>& cancelled)
{
    if (text.size() > kMaxDatSize)
        throw Error("DAT \"" + file + "\" is too large (over " + std::to_string(kMaxDatSize >> 20) +
                    " MiB)");
    const dat::DatError err(file, text);
    // What the entries may take: as much as an XML DAT's parse, and a little for the smallest.
    dat::DatBuilder builder(*this, err, cancelled,
                            static_cast<std::size_t>(text.size() * kMaxDatParseFactor) +
                                (std::size_t{1} << 20));
    DatInfo info;
    info.file = file;
    Parser(text, err, builder, info).run();
    builder.commit(std::move(info));
}

} // namespace cartscope::core
