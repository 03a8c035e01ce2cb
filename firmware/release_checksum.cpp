#include "firmware/release_checksum.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "firmware/image_reader.h"
#include "firmware/sha256.h"

namespace {

constexpr size_t HEX_DIGITS = 2 * SHA256_DIGEST_BYTES;
// sha256sum marks a line whose name it escaped (a backslash or a line end in it) so.
constexpr char ESCAPED_LINE_MARK = '\\';
constexpr char TEXT_MODE_MARK = ' ';
constexpr char BINARY_MODE_MARK = '*';
constexpr const char* PATH_SEPARATORS = "/\\";
constexpr const char* TAGGED_LINE_START = "SHA256 (";
constexpr const char* TAGGED_HASH_MARK = ") = ";
constexpr unsigned char FIRST_PRINTABLE = 0x20;
constexpr unsigned char DELETE_CHARACTER = 0x7F;

// What reading the checksum file found.
constexpr int FILE_READ = 0;
constexpr int FILE_ABSENT = 1;
constexpr int FILE_REFUSED = 2;

int refuse(ReleaseChecksum* check, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(check->problem, sizeof check->problem, format, arguments);
    va_end(arguments);
    return RELEASE_CHECKSUM_REFUSED;
}

bool isSha256Hex(std::string_view text) {
    if (text.size() != HEX_DIGITS) {
        return false;
    }
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return true;
}

// Lower case, as sha256sum prints a hash, so that the two on a line compare by eye.
std::string lowerHex(std::string_view hex) {
    std::string lower(hex);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

// A name from the file as the console may show it: no control character of it reaches
// the terminal.
std::string printable(std::string_view name) {
    std::string shown(name);
    for (char& c : shown) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < FIRST_PRINTABLE || byte == DELETE_CHARACTER) {
            c = '?';
        }
    }
    return shown;
}

// A release made on Windows names its files with backslashes.
std::string_view lastComponent(std::string_view path) {
    const size_t separator = path.find_last_of(PATH_SEPARATORS);
    return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

// Undoes sha256sum's escapes of a name: false for an escape it never writes.
bool unescapeName(std::string_view escaped, std::string* name) {
    name->clear();
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            name->push_back(escaped[i]);
            continue;
        }
        const char next = ++i < escaped.size() ? escaped[i] : '\0';
        if (next == '\\') {
            name->push_back('\\');
        } else if (next == 'n') {
            name->push_back('\n');
        } else if (next == 'r') {
            name->push_back('\r');
        } else {
            return false;
        }
    }
    return true;
}

// The tagged form: "SHA256 (NAME) = HASH", as shasum --tag, BSD sha256 and sha256sum
// --tag write it.
bool parseTaggedLine(std::string_view line, std::string_view* hex, std::string_view* written) {
    const size_t framing = std::strlen(TAGGED_LINE_START) + std::strlen(TAGGED_HASH_MARK);
    if (line.size() <= framing + HEX_DIGITS ||
        line.substr(0, std::strlen(TAGGED_LINE_START)) != TAGGED_LINE_START) {
        return false;
    }
    const std::string_view tail = line.substr(line.size() - HEX_DIGITS);
    const size_t markAt = line.size() - HEX_DIGITS - std::strlen(TAGGED_HASH_MARK);
    if (!isSha256Hex(tail) ||
        line.substr(markAt, std::strlen(TAGGED_HASH_MARK)) != TAGGED_HASH_MARK) {
        return false;
    }
    *hex = tail;
    *written = line.substr(std::strlen(TAGGED_LINE_START), markAt - std::strlen(TAGGED_LINE_START));
    return true;
}

// One line as release tools write it: 64 hex digits, two spaces or a space and an
// asterisk, the file's name; or the tagged form; or the 64 hex digits alone, which name
// no file and so stand for the image beside them (*named false). The line's CR, if it
// ended with CR LF, is gone already.
bool parseLine(std::string_view line, std::string_view* hex, std::string* name, bool* named) {
    *named = true;
    if (isSha256Hex(line)) {
        *hex = line;
        *named = false;
        return true;
    }
    const bool escaped = !line.empty() && line.front() == ESCAPED_LINE_MARK;
    if (escaped) {
        line.remove_prefix(1);
    }
    std::string_view written;
    if (!parseTaggedLine(line, hex, &written)) {
        if (line.size() < HEX_DIGITS + 3 || !isSha256Hex(line.substr(0, HEX_DIGITS)) ||
            line[HEX_DIGITS] != ' ' ||
            (line[HEX_DIGITS + 1] != TEXT_MODE_MARK && line[HEX_DIGITS + 1] != BINARY_MODE_MARK)) {
            return false;
        }
        *hex = line.substr(0, HEX_DIGITS);
        written = line.substr(HEX_DIGITS + 2);
    }
    if (escaped) {
        return unescapeName(written, name);
    }
    name->assign(written);
    return true;
}

// Opened as the image is, so that a FIFO or a device in its place is refused, never
// waited on.
int readChecksumFile(const std::string& path, const char* label, std::string* text,
                     ReleaseChecksum* check) {
    ImageReader reader{};
    const int opened = openImage(&reader, path.c_str());
    if (opened == IMAGE_NOT_OPENED) {
        if (reader.openError == ENOENT || reader.openError == ENOTDIR) {
            // A link whose target is gone stands for a checksum file the release meant to
            // give: it is no absence.
            std::error_code error;
            if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))) {
                return FILE_ABSENT;
            }
            refuse(check, "%s cannot be read: it is a link to a file that does not exist", label);
            return FILE_REFUSED;
        }
        refuse(check, "%s cannot be read: %s", label, std::strerror(reader.openError));
        return FILE_REFUSED;
    }
    if (opened == IMAGE_NOT_REGULAR) {
        refuse(check, "%s is not a regular file", label);
        return FILE_REFUSED;
    }
    if (reader.size > RELEASE_CHECKSUM_FILE_MAX_BYTES) {
        closeImage(&reader);
        refuse(check, "%s is larger than a sha256 file can be (%lld bytes, at most %lld)", label,
               static_cast<long long>(reader.size),
               static_cast<long long>(RELEASE_CHECKSUM_FILE_MAX_BYTES));
        return FILE_REFUSED;
    }
    // One byte more than the limit tells a file that grew since it was looked at.
    text->resize(static_cast<size_t>(RELEASE_CHECKSUM_FILE_MAX_BYTES) + 1);
    const size_t count = std::fread(text->data(), 1, text->size(), reader.file);
    const bool failed = std::ferror(reader.file) != 0;
    const int error = errno;
    closeImage(&reader);
    if (failed) {
        refuse(check, "%s cannot be read: %s", label, std::strerror(error));
        return FILE_REFUSED;
    }
    if (count > static_cast<size_t>(RELEASE_CHECKSUM_FILE_MAX_BYTES)) {
        refuse(check, "%s is larger than a sha256 file can be (at most %lld bytes)", label,
               static_cast<long long>(RELEASE_CHECKSUM_FILE_MAX_BYTES));
        return FILE_REFUSED;
    }
    text->resize(count);
    return FILE_READ;
}

// Every line that names the image must give its hash: sha256sum writes one line a file,
// and a file that names the image twice with two hashes does not say which one is meant.
int compareWithFile(std::string_view text, std::string_view imageName, const char* label,
                    const char* imageHex, ReleaseChecksum* check) {
    int naming = 0;
    int others = 0;
    std::string firstOther;
    std::string name;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        std::string_view hex;
        bool named = true;
        if (!parseLine(line, &hex, &name, &named)) {
            continue;
        }
        if (named && lastComponent(name) != imageName) {
            if (++others == 1) {
                firstOther = printable(name);
            }
            continue;
        }
        ++naming;
        if (lowerHex(hex) != lowerHex(imageHex)) {
            return refuse(check, "the image's sha256 is %s, %s says %s", lowerHex(imageHex).c_str(),
                          label, lowerHex(hex).c_str());
        }
    }
    if (naming > 0) {
        return RELEASE_CHECKSUM_PASSED;
    }
    if (others == 1) {
        return refuse(check, "%s names another file (%s)", label, firstOther.c_str());
    }
    if (others > 1) {
        return refuse(check, "%s names %d other files, not %s", label, others,
                      printable(imageName).c_str());
    }
    return refuse(check,
                  "%s holds no line in a form release tools write: 64 hex digits alone; 64 hex "
                  "digits, two spaces, the file name; or SHA256 (the file name) = 64 hex digits",
                  label);
}

}  // namespace

int checkReleaseChecksum(const char* imagePath, const char* imageSha256Hex, const char* given,
                         ReleaseChecksum* check) {
    *check = ReleaseChecksum{};
    const bool hasVariable = given != nullptr && *given != '\0';
    if (hasVariable && !isSha256Hex(given)) {
        return refuse(check, "%s is not 64 hex digits", IMAGE_SHA256_VARIABLE);
    }

    const std::string_view imageName = lastComponent(imagePath);
    const std::string label = printable(imageName) + RELEASE_CHECKSUM_FILE_SUFFIX;
    const std::string checksumPath = std::string(imagePath) + RELEASE_CHECKSUM_FILE_SUFFIX;
    std::string text;
    const int read = readChecksumFile(checksumPath, label.c_str(), &text, check);
    if (read == FILE_REFUSED) {
        return RELEASE_CHECKSUM_REFUSED;
    }
    if (read == FILE_READ) {
        if (compareWithFile(text, imageName, label.c_str(), imageSha256Hex, check) !=
            RELEASE_CHECKSUM_PASSED) {
            return RELEASE_CHECKSUM_REFUSED;
        }
    }

    if (hasVariable) {
        if (lowerHex(given) != lowerHex(imageSha256Hex)) {
            return refuse(check, "the image's sha256 is %s, %s says %s",
                          lowerHex(imageSha256Hex).c_str(), IMAGE_SHA256_VARIABLE,
                          lowerHex(given).c_str());
        }
    }

    std::snprintf(check->checkedAgainst, sizeof check->checkedAgainst, "%s%s%s",
                  read == FILE_READ ? label.c_str() : "",
                  read == FILE_READ && hasVariable ? " and " : "",
                  hasVariable ? IMAGE_SHA256_VARIABLE : "");
    return RELEASE_CHECKSUM_PASSED;
}
