// This folder: the Linux build's registry. The registry file store (its forms,
// its lock), the Wine prefix's registry reader and the prefix's drive mapping.
//
// The Linux registry file: the registry editor's export format, read into a
// registry tree and written back from one. Inside the tree every name and
// string is code page 932, as the registry calls hand them.
#ifndef VX_PLATFORM_POSIX_REGISTRY_REGISTRY_FILE_H_
#define VX_PLATFORM_POSIX_REGISTRY_REGISTRY_FILE_H_

#include <string>
#include <string_view>

#include "platform/posix/registry/registry_tree.h"

namespace platform::posix {

// Reads a file's bytes into *tree, in time proportional to their number.
// The text is UTF-8, with or without a byte-order mark, or UTF-16LE with its
// mark; tree->encoding records which and tree->header the header line. No
// bytes at all (or a mark alone) are an empty registry. Removal lines
// (`[-key]`, `"name"=-`) act where they stand. Under `REGEDIT4` the data of
// hex(1), hex(2) and hex(7) are code page 932 bytes, under the version 5
// header UTF-16LE. False when the text is not a registry file this store
// can keep: no header line, a line it doesn't know, a bad escape or hex
// list, a name or text with no code page 932 form, a key name over 255 bytes
// or deeper than kRegMaxDepth.
bool ParseRegistryFile(std::string_view bytes, RegTree* tree);

// The file's bytes for the tree, in its encoding and under its header
// (header, blank line, one section per key, CRLF line ends). False when a
// name or string has no UTF-8 form, or a name holds a line feed.
bool FormatRegistryFile(const RegTree& tree, std::string* bytes);

// True when the registry file in force exists but can't be used: it is no
// regular file, can't be read, or is not a registry file this store keeps.
bool RegistryFileBroken();

// Text conversions of string values: code page 932 <-> UTF-16LE bytes.
bool Cp932ToUtf16le(std::string_view in, std::string* out);
bool Utf16leToCp932(std::string_view in, std::string* out);

}  // namespace platform::posix

#endif  // VX_PLATFORM_POSIX_REGISTRY_REGISTRY_FILE_H_
