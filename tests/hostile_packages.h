// The hostile table of signed packages: the unit tests run it through the
// check natively and under wine, the end-to-end test through the key-built
// exe.  Each row must be refused with the outcome given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/package_sign.h"
#include "archive/release_file.h"

struct HostilePackage {
    std::string what;
    std::string bytes;
    PackageCheck expected;
};

// `archive` is an unsigned package whose first record is a file with some
// content; `ours` is it signed with the installer's key, `foreign` signed
// with another key, `otherPackage` another archive signed with our key,
// `release` a release file signed with our key.
// The trailer is cut at every length, or at the lengths given.
inline std::vector<HostilePackage> hostilePackages(const std::string& archive, const std::string& ours,
                                                   const std::string& foreign, const std::string& otherPackage,
                                                   const std::string& release, std::vector<size_t> cuts = {}) {
    const size_t end = archive.size();
    const size_t nameLength = static_cast<uint8_t>(archive[1]);
    auto flipped = [&](size_t at) {
        std::string s = ours;
        s[at] = static_cast<char>(s[at] ^ 0x20);
        return s;
    };
    std::vector<HostilePackage> rows = {
        {"unsigned", archive, PackageCheck::Unsigned},
        {"flipped byte in a name", flipped(2), PackageCheck::Mismatch},
        {"flipped byte in a header (size field)", flipped(2 + nameLength), PackageCheck::Mismatch},
        {"flipped byte in a content", flipped(6 + nameLength), PackageCheck::Mismatch},
        {"flipped byte in the trailer's magic", flipped(end), PackageCheck::TrailerMalformed},
        {"flipped byte in the trailer's key id", flipped(end + SIG_KEY_ID_OFFSET), PackageCheck::ForeignKey},
        {"flipped byte in the trailer's signature", flipped(ours.size() - 1), PackageCheck::Mismatch},
        {"another key's signature", foreign, PackageCheck::ForeignKey},
        {"the signature of another package", archive + otherPackage.substr(otherPackage.size() - SIG_TRAILER_BYTES),
         PackageCheck::Mismatch},
        {"bytes after the trailer", ours + "extra", PackageCheck::BytesAfterTrailer},
        {"a trailer of the earlier scheme", ours.substr(0, end) + SIG_MAGIC_V1 + ours.substr(end + SIG_MAGIC_BYTES),
         PackageCheck::OldFormat},
        {"a release file presented as a package", release, PackageCheck::Mismatch},
    };
    if (cuts.empty())
        for (size_t n = 1; n < SIG_TRAILER_BYTES; ++n) cuts.push_back(n);
    for (size_t n : cuts)
        rows.push_back({"trailer cut to " + std::to_string(n) + " bytes", ours.substr(0, end + n),
                        PackageCheck::TrailerCut});
    return rows;
}

// Release rows: release files the installer must refuse, each with the
// reason.  `good` is a release of the normal edition signed with the
// installer's key, `foreign` one signed with another key, `otherEdition`
// the TEST edition's, signed with the installer's key, `expired` one that
// expired on 2001-09-09 01:46:40 UTC, `packageSigned` good's body with a
// package signature of our key.  A row the file check accepts is refused
// for `reason`, the rest for their check's.
struct HostileRelease {
    std::string what;
    std::string bytes;
    ReleaseCheck expected;
    std::string reason = "";
};

inline std::vector<HostileRelease> hostileReleases(const std::string& good, const std::string& foreign,
                                                   const std::string& otherEdition, const std::string& expired,
                                                   const std::string& packageSigned) {
    auto flipped = [&](size_t at) {
        std::string s = good;
        s[at] = static_cast<char>(s[at] ^ 0x01);
        return s;
    };
    std::vector<HostileRelease> rows = {
        {"unsigned release", good.substr(0, REL_BODY_BYTES), ReleaseCheck::Unsigned},
        {"release signed with another key", foreign, ReleaseCheck::ForeignKey},
        {"release with bytes after its signature", good + "x", ReleaseCheck::ExtraBytes},
        {"release of the other edition", otherEdition, ReleaseCheck::OtherEdition},
        {"release with a lower number written in", flipped(REL_NUMBER_OFFSET), ReleaseCheck::Mismatch},
        {"release with a later expiry written in", flipped(REL_EXPIRES_OFFSET + 7), ReleaseCheck::Mismatch},
        {"expired release", expired, ReleaseCheck::Accepted, "expired on 2001-09-09 01:46 UTC"},
        {"release of the earlier format", REL_MAGIC_V1 + good.substr(REL_MAGIC_BYTES, 667 - REL_MAGIC_BYTES),
         ReleaseCheck::OldFormat},
        {"package signature presented as a release", packageSigned, ReleaseCheck::Mismatch},
        {"release with another package hash", flipped(REL_PACKAGES_OFFSET + REL_PACKAGE_NAME_BYTES + 8),
         ReleaseCheck::Mismatch},
        {"release with a flipped signature byte", flipped(REL_FILE_BYTES - 1), ReleaseCheck::Mismatch},
        {"release with a flipped magic", flipped(0), ReleaseCheck::NotARelease},
        {"release with no trailer magic", flipped(REL_BODY_BYTES), ReleaseCheck::Unsigned},
        {"empty release", "", ReleaseCheck::Cut},
    };
    for (size_t n : {size_t{1}, size_t{7}, size_t{100}, size_t{REL_BODY_BYTES - 1}, size_t{REL_BODY_BYTES + 1},
                     size_t{REL_FILE_BYTES - 1}})
        rows.push_back({"release cut to " + std::to_string(n) + " bytes", good.substr(0, n), ReleaseCheck::Cut});
    return rows;
}

// The hostile table of landing journals: each row must be refused by the
// recovery, which then moves nothing.  `valid` is a whole journal of the
// moving state; `withPath(p, folder)` one whose only entry, a file or a
// folder, is `p`; `withEntry(kind, flags)` one whose only entry has that
// kind byte and flags byte.
struct HostileJournal {
    std::string what;
    std::string bytes;
};

template <class WithPath, class WithEntry>
inline std::vector<HostileJournal> hostileJournals(const std::string& valid, WithPath withPath, WithEntry withEntry) {
    std::vector<HostileJournal> rows;
    for (size_t n : {size_t{0}, size_t{1}, size_t{8}, size_t{13}, valid.size() / 2, valid.size() - 8, valid.size() - 1})
        rows.push_back({"cut to " + std::to_string(n) + " bytes", valid.substr(0, n)});
    for (size_t at : {size_t{0}, size_t{8}, size_t{9}, size_t{10}, size_t{20}, size_t{50}, valid.size() / 2,
                      valid.size() - 6, valid.size() - 1}) {
        std::string s = valid;
        s[at] = static_cast<char>(s[at] ^ 0x01);
        rows.push_back({"garbled byte at " + std::to_string(at), s});
    }
    rows.push_back({"bytes appended", valid + "x"});
    for (bool folder : {false, true})
        for (const char* p : {"../outside", "a/../../outside", "/absolute", "\\absolute", "C:\\x", "a//b", "./a",
                              "a\\..\\..\\x", "CON", "a/nul.txt", "dot.", ""})
            rows.push_back({std::string(folder ? "folder" : "file") + " path \"" + p + "\"", withPath(p, folder)});
    rows.push_back({"unknown entry kind", withEntry('X', 0)});
    rows.push_back({"unknown file flags", withEntry('F', 0x80)});
    rows.push_back({"unknown folder flags", withEntry('D', 0x02)});
    return rows;
}
