#include "disk/EwfImage.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef PW_HAVE_LIBEWF
#include <libewf.h>

namespace {

// Takes the text out of a libewf error (one line, without its full stop) and frees it.
std::string TakeError(libewf_error_t*& Error, const std::string& What) {
    std::string Text = What;
    if (Error != nullptr) {
        char Buffer[512] = {};
        if (libewf_error_sprint(Error, Buffer, sizeof Buffer) > 0) {
            std::string Said = Buffer;
            std::replace(Said.begin(), Said.end(), '\n', ' ');
            while (!Said.empty() && (Said.back() == ' ' || Said.back() == '.'))
                Said.pop_back();
            Text += ": " + Said;
        }
        libewf_error_free(&Error);
    }
    return Text;
}

// What is wrong with a set libewf calls damaged. It opens the segments up to the first one that
// is missing, so the file after the last one opened is the one to name.
std::string DescribeDamage(const std::string& LastOpened) {
    const std::string::size_type Dot = LastOpened.rfind('.');
    const std::string Extension = Dot == std::string::npos ? "" : LastOpened.substr(Dot + 1);
    const auto Digit = [](char C) { return std::isdigit(static_cast<unsigned char>(C)) != 0; };
    if (Extension.size() == 3 && Digit(Extension[1]) && Digit(Extension[2]) &&
        Extension.substr(1) != "99") {
        const int Next = std::stoi(Extension.substr(1)) + 1;
        char Name[4] = {Extension[0], static_cast<char>('0' + Next / 10),
                        static_cast<char>('0' + Next % 10), 0};
        return "segment " + std::string(Name) + " is missing or damaged (the set ends at " +
               LastOpened + ")";
    }
    return "the segment after " + LastOpened + " is missing or damaged";
}

} // namespace

// libewf's own chunk cache keeps the zero-filled stand-in of every chunk it could not read, so a
// set with segments missing would cost memory in proportion to the data missing. Chunks are read
// here one at a time through the raw-chunk calls instead, and the last one is kept.
struct TEwfImage::TState {
    libewf_handle_t* Handle = nullptr;
    bool Opened = false;
    std::uint64_t ChunkSize = 0;
    std::vector<char> Raw;  // the chunk as stored (compressed or not)
    std::vector<char> Data; // a compressed chunk unpacked
    const char* Bytes = nullptr;
    std::uint64_t Index = UINT64_MAX; // the chunk last asked for
    bool Ok = false;

    ~TState() {
        libewf_error_t* Error = nullptr;
        if (Opened) libewf_handle_close(Handle, &Error);
        if (Error != nullptr) libewf_error_free(&Error);
        if (Handle != nullptr) libewf_handle_free(&Handle, &Error);
        if (Error != nullptr) libewf_error_free(&Error);
    }
};

bool TEwfImage::Supported() {
    return true;
}

bool TEwfImage::IsEwfFile(const std::string& Path) {
    libewf_error_t* Error = nullptr;
    const int Result = libewf_check_file_signature(Path.c_str(), &Error);
    if (Error != nullptr) libewf_error_free(&Error);
    return Result == 1;
}

TEwfImage::TEwfImage(const std::string& Path) : FState(std::make_unique<TState>()) {
    libewf_error_t* Error = nullptr;
    if (libewf_handle_initialize(&FState->Handle, &Error) != 1) {
        FError = TakeError(Error, "cannot set up libewf");
        return;
    }

    // The segment files are found from the first one's name; a name outside the naming scheme
    // (a renamed single segment) is opened on its own.
    char** Globbed = nullptr;
    int GlobCount = 0;
    std::vector<char*> Names;
    std::string Single = Path;
    if (libewf_glob(Path.c_str(), Path.size(), LIBEWF_FORMAT_UNKNOWN, &Globbed, &GlobCount,
                    &Error) == 1 &&
        GlobCount > 0) {
        Names.assign(Globbed, Globbed + GlobCount);
    } else {
        if (Error != nullptr) libewf_error_free(&Error);
        Names.push_back(Single.data());
    }

    const int Opened =
        libewf_handle_open(FState->Handle, Names.data(), static_cast<int>(Names.size()),
                           libewf_get_access_flags_read(), &Error);
    FSegments = static_cast<int>(Names.size());
    const std::string LastOpened = Names.back();
    if (Globbed != nullptr) {
        libewf_error_t* GlobError = nullptr;
        libewf_glob_free(Globbed, GlobCount, &GlobError);
        if (GlobError != nullptr) libewf_error_free(&GlobError);
    }
    if (Opened != 1) {
        FError = TakeError(Error, ("cannot open EWF image " + Path).c_str());
        FSegments = 0;
        return;
    }
    FState->Opened = true;

    size64_t Size = 0;
    uint32_t SectorBytes = 0;
    size32_t ChunkBytes = 0;
    if (libewf_handle_get_media_size(FState->Handle, &Size, &Error) != 1 ||
        libewf_handle_get_bytes_per_sector(FState->Handle, &SectorBytes, &Error) != 1 ||
        libewf_handle_get_chunk_size(FState->Handle, &ChunkBytes, &Error) != 1 || ChunkBytes == 0) {
        FError = TakeError(Error, "cannot measure EWF image");
        FState.reset();
        FSegments = 0;
        return;
    }
    FMediaSize = Size;
    FBytesPerSector = SectorBytes;
    FState->ChunkSize = ChunkBytes;
    // Room for a stored chunk that compression made no smaller, and its checksum.
    FState->Raw.resize(std::size_t{ChunkBytes} * 2 + 64);
    FState->Data.resize(std::size_t{ChunkBytes} + 64);
    FOpen = true;
    if (libewf_handle_segment_files_corrupted(FState->Handle, &Error) == 1)
        FDamage = DescribeDamage(LastOpened);
    if (Error != nullptr) libewf_error_free(&Error);
}

bool TEwfImage::LoadChunk(std::uint64_t Index) {
    TState& S = *FState;
    if (S.Index == Index) return S.Ok;
    S.Index = Index;
    S.Ok = false;
    const std::uint64_t At = Index * S.ChunkSize;
    const std::uint64_t Expected = std::min<std::uint64_t>(S.ChunkSize, FMediaSize - At);
    libewf_error_t* Error = nullptr;
    int8_t Compressed = 0, HasChecksum = 0;
    uint32_t Checksum = 0;
    char ChecksumBytes[4] = {};
    ssize_t Stored = -1, Got = -1;
    if (libewf_handle_seek_offset(S.Handle, static_cast<off64_t>(At), SEEK_SET, &Error) ==
        static_cast<off64_t>(At))
        Stored = libewf_handle_read_chunk(S.Handle, S.Raw.data(), S.Raw.size(), &Compressed,
                                          ChecksumBytes, &Checksum, &HasChecksum, &Error);
    if (Stored > 0) {
        std::size_t Unpacked = S.Data.size();
        // Checks the checksum; only a compressed chunk is unpacked into Data.
        Got = libewf_handle_prepare_read_chunk(
            S.Handle, S.Raw.data(), static_cast<std::size_t>(Stored), S.Data.data(), &Unpacked,
            Compressed, Checksum, HasChecksum, &Error);
        S.Bytes = Compressed != 0 ? S.Data.data() : S.Raw.data();
    }
    if (Got < 0 || static_cast<std::uint64_t>(Got) < Expected) {
        FError = TakeError(Error, "cannot read EWF image at offset " + std::to_string(At));
        return false;
    }
    if (Error != nullptr) libewf_error_free(&Error);
    S.Ok = true;
    return true;
}

bool TEwfImage::Read(std::uint64_t Offset, void* Target, std::size_t Count) {
    auto* Bytes = static_cast<char*>(Target);
    std::memset(Bytes, 0, Count);
    if (!IsOpen()) return false;
    if (Offset >= FMediaSize) return true;
    const std::size_t Inside =
        static_cast<std::size_t>(std::min<std::uint64_t>(Count, FMediaSize - Offset));
    // A chunk that is missing (a lost segment file) or fails its checksum is left as zeros.
    bool Whole = true;
    for (std::size_t Done = 0; Done < Inside;) {
        const std::uint64_t At = Offset + Done;
        const std::uint64_t Within = At % FState->ChunkSize;
        const std::size_t Piece = static_cast<std::size_t>(
            std::min<std::uint64_t>(Inside - Done, FState->ChunkSize - Within));
        if (LoadChunk(At / FState->ChunkSize))
            std::memcpy(Bytes + Done, FState->Bytes + Within, Piece);
        else
            Whole = false;
        Done += Piece;
    }
    return Whole;
}

#else // without libewf every EWF image is refused with a plain reason

struct TEwfImage::TState {};

bool TEwfImage::Supported() {
    return false;
}

bool TEwfImage::IsEwfFile(const std::string& Path) {
    // The signature is fixed: "EVF" 09 0D 0A FF 00 (and "LVF" for logical images).
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> File(std::fopen(Path.c_str(), "rb"),
                                                         &std::fclose);
    if (!File) return false;
    unsigned char Head[8] = {};
    if (std::fread(Head, 1, sizeof Head, File.get()) != sizeof Head) return false;
    static const unsigned char Tail[5] = {0x09, 0x0D, 0x0A, 0xFF, 0x00};
    return (Head[0] == 'E' || Head[0] == 'L') && Head[1] == 'V' && Head[2] == 'F' &&
           std::memcmp(Head + 3, Tail, sizeof Tail) == 0;
}

TEwfImage::TEwfImage(const std::string& Path) {
    FError = "EWF image " + Path + " cannot be read: this build has no libewf";
}

bool TEwfImage::Read(std::uint64_t, void* Target, std::size_t Count) {
    std::memset(Target, 0, Count);
    return false;
}

#endif

TEwfImage::~TEwfImage() = default;

std::int64_t TEwfImage::ReadAt(void* Target, std::uint64_t Count, std::uint64_t Offset) {
    if (!IsOpen()) return -1;
    if (Offset >= FMediaSize) return 0;
    const auto Inside = static_cast<std::size_t>(
        std::min<std::uint64_t>({Count, FMediaSize - Offset, std::uint64_t{1} << 30}));
    return Read(Offset, Target, Inside) ? static_cast<std::int64_t>(Inside) : -1;
}

bool TEwfImage::IsOpen() const {
    return FOpen;
}
const std::string& TEwfImage::LastError() const {
    return FError;
}
std::uint64_t TEwfImage::MediaSize() const {
    return FMediaSize;
}
std::uint32_t TEwfImage::BytesPerSector() const {
    return FBytesPerSector;
}
int TEwfImage::SegmentCount() const {
    return FSegments;
}
bool TEwfImage::Damaged() const {
    return !FDamage.empty();
}
const std::string& TEwfImage::Damage() const {
    return FDamage;
}
