#include "EwfImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef PW_HAVE_LIBEWF
#include <libewf.h>

namespace {

// Takes the text out of a libewf error and frees it.
std::string TakeError(libewf_error_t*& Error, const char* What) {
    std::string Text = What;
    if (Error != nullptr) {
        char Buffer[512] = {};
        if (libewf_error_sprint(Error, Buffer, sizeof Buffer) > 0) {
            Text += ": ";
            Text += Buffer;
        }
        libewf_error_free(&Error);
    }
    return Text;
}

} // namespace

struct TEwfImage::TState {
    libewf_handle_t* Handle = nullptr;
    bool Opened = false;

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
    if (libewf_handle_get_media_size(FState->Handle, &Size, &Error) != 1 ||
        libewf_handle_get_bytes_per_sector(FState->Handle, &SectorBytes, &Error) != 1) {
        FError = TakeError(Error, "cannot measure EWF image");
        FState.reset();
        FSegments = 0;
        return;
    }
    FMediaSize = Size;
    FBytesPerSector = SectorBytes;
    FOpen = true;
    // Damaged chunks read as zeros rather than as whatever the damaged segment holds.
    libewf_handle_set_read_zero_chunk_on_error(FState->Handle, 1, &Error);
    if (Error != nullptr) libewf_error_free(&Error);
    FDamaged = libewf_handle_segment_files_corrupted(FState->Handle, &Error) == 1;
    if (Error != nullptr) libewf_error_free(&Error);
}

bool TEwfImage::Read(std::uint64_t Offset, void* Target, std::size_t Count) {
    auto* Bytes = static_cast<unsigned char*>(Target);
    std::memset(Bytes, 0, Count);
    if (!IsOpen()) return false;
    if (Offset >= FMediaSize) return true;
    const std::size_t Inside =
        static_cast<std::size_t>(std::min<std::uint64_t>(Count, FMediaSize - Offset));
    std::size_t Done = 0;
    while (Done < Inside) {
        libewf_error_t* Error = nullptr;
        const ssize_t Got = libewf_handle_read_random(FState->Handle, Bytes + Done, Inside - Done,
                                                      static_cast<off64_t>(Offset + Done), &Error);
        if (Got <= 0) {
            FError = TakeError(Error, "cannot read EWF image");
            std::memset(Bytes + Done, 0, Inside - Done);
            return false;
        }
        Done += static_cast<std::size_t>(Got);
    }
    // A chunk that is missing (a lost segment file) or fails its checksum is served as zeros and
    // recorded, not reported by the read itself.
    if (OverlapsDamage(Offset, Inside)) {
        FError = "EWF image holds damaged or missing data at offset " + std::to_string(Offset);
        return false;
    }
    return true;
}

bool TEwfImage::OverlapsDamage(std::uint64_t Offset, std::uint64_t Count) {
    libewf_error_t* Error = nullptr;
    uint32_t Damaged = 0;
    if (libewf_handle_get_number_of_checksum_errors(FState->Handle, &Damaged, &Error) != 1) {
        if (Error != nullptr) libewf_error_free(&Error);
        return false;
    }
    for (uint32_t i = 0; i < Damaged; ++i) {
        uint64_t FirstSector = 0, Sectors = 0;
        if (libewf_handle_get_checksum_error(FState->Handle, i, &FirstSector, &Sectors, &Error) !=
            1) {
            if (Error != nullptr) libewf_error_free(&Error);
            return true;
        }
        const std::uint64_t From = FirstSector * FBytesPerSector;
        const std::uint64_t To = (FirstSector + Sectors) * FBytesPerSector;
        if (From < Offset + Count && Offset < To) return true;
    }
    return false;
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

bool TEwfImage::OverlapsDamage(std::uint64_t, std::uint64_t) {
    return false;
}

bool TEwfImage::Read(std::uint64_t, void* Target, std::size_t Count) {
    std::memset(Target, 0, Count);
    return false;
}

#endif

TEwfImage::~TEwfImage() = default;

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
    return FDamaged;
}
