#include "disk/GetDrives.h"

#include <algorithm>
#include <cctype>

#include "disk/DriveProbe.h"

TGetDrives::TGetDrives() : TGetDrives(PlatformSystem()) {}

TGetDrives::TGetDrives(TSystemLayer& System) : FSystem(&System) {}

bool TGetDrives::AddImage(const std::string& Path) {
    if (!IsReadableAndNotEmpty(Path)) return false;
    if (std::find(FImages.begin(), FImages.end(), Path) == FImages.end()) FImages.push_back(Path);
    return true;
}

TDriveArray TGetDrives::ListDrives() {
    TDriveArray drives;
    if (FSystem->UsesDriveLetters()) {
        drives = ListDriveLetters();
    } else {
        std::vector<std::string> devices = FSystem->BlockDevices();
        std::sort(devices.begin(), devices.end(), NaturalLess);
        for (const std::string& device : devices)
            if (IsDriveReady(device)) drives.push_back(device);
    }
    for (const std::string& image : FImages)
        if (std::find(drives.begin(), drives.end(), image) == drives.end()) drives.push_back(image);
    return drives;
}

TDriveArray TGetDrives::ListDriveLetters() {
    TDriveArray drives;
    std::vector<char> buffer(129, '\0');
    std::uint32_t length = FSystem->GetLogicalDriveStringsA(129, buffer.data());
    if (length == 0) return drives;
    if (length > 129) {
        // A list longer than the usual buffer is asked for again in full rather than refused.
        buffer.assign(length + 1, '\0');
        length = FSystem->GetLogicalDriveStringsA(length + 1, buffer.data());
        if (length == 0 || length > buffer.size() - 1) return drives;
    }
    // Zero-separated roots, ended by an empty one.
    std::size_t at = 0;
    while (at < buffer.size() && buffer[at] != '\0') {
        std::size_t end = at;
        while (end < buffer.size() && buffer[end] != '\0')
            ++end;
        const std::string root(buffer.data() + at, end - at);
        if (IsDriveReady(root)) drives.push_back(root);
        at = end + 1;
    }
    return drives;
}

bool TGetDrives::IsDriveReady(const std::string& Root) {
    if (!FSystem->UsesDriveLetters()) return IsReadableAndNotEmpty(Root);
    const std::uint32_t previousMode = FSystem->SetErrorMode(win::SemFailCriticalErrors);
    // Entering the root is the test; without a directory to come back to it is not tried.
    std::string saved;
    const bool ready = FSystem->GetCurrentDirectoryA(saved) && FSystem->SetCurrentDirectoryA(Root);
    if (ready) FSystem->SetCurrentDirectoryA(saved);
    FSystem->SetErrorMode(previousMode);
    return ready;
}

bool TGetDrives::IsReadableAndNotEmpty(const std::string& Path) {
    return ProbeDrive(*FSystem, Path).Ok();
}

bool NaturalLess(const std::string& A, const std::string& B) {
    std::size_t i = 0, j = 0;
    const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    while (i < A.size() && j < B.size()) {
        if (digit(A[i]) && digit(B[j])) {
            std::size_t i2 = i, j2 = j;
            while (i2 < A.size() && A[i2] == '0')
                ++i2;
            while (j2 < B.size() && B[j2] == '0')
                ++j2;
            std::size_t ie = i2, je = j2;
            while (ie < A.size() && digit(A[ie]))
                ++ie;
            while (je < B.size() && digit(B[je]))
                ++je;
            if (ie - i2 != je - j2) return ie - i2 < je - j2;
            const int c = A.compare(i2, ie - i2, B, j2, je - j2);
            if (c != 0) return c < 0;
            i = ie;
            j = je;
        } else {
            if (A[i] != B[j]) return A[i] < B[j];
            ++i;
            ++j;
        }
    }
    if ((A.size() - i) != (B.size() - j)) return A.size() - i < B.size() - j;
    return A < B;
}
