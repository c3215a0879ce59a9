#pragma once

#include <string>

#include "core/verify/dat.h"
#include "core/verify/trim.h"
#include "core/verify/verify.h"

// The JSON pieces that `info --json` and `verify --json` share.
namespace cartscope::cli {

// {"crc32": "...", "md5": ..., "sha1": ..., "sha256": ...}: lower-case hex, null when not
// computed.
std::string hashesJson(const core::ImageHashes& hashes);
// {"usedSize": n, "chipSize": n or null (the capacity byte names no chip), "state": "...",
// "paddingClean": bool}
std::string trimJson(const core::TrimInfo& trim);
// {"game", "rom", "dat", "datVersion", "by", "padding", "paddedSize"}
std::string matchJson(const core::DatMatch& match, const core::DatSet& dats);
// A JSON string of a text that may not be valid UTF-8, plus, when it is not, a companion key
// `<key>Bytes` with the exact bytes as hex.
void addText(class JsonObject& o, const std::string& key, const std::string& text);

} // namespace cartscope::cli
