// What a replacement must carry from the old file to the new one on
// Windows, so that replacing a file loses nothing a write in place keeps.
#include <windows.h>
#include <aclapi.h>

#include <cstring>
#include <string>

#include "internal.h"

namespace vork::platform {

namespace {

// Whether the file at `path` has streams beside its own data
// (GAME.BIN:comment), which a new file would not have.
bool has_other_streams(const std::wstring& path) {
    WIN32_FIND_STREAM_DATA stream{};
    const HANDLE search = FindFirstStreamW(path.c_str(), FindStreamInfoStandard, &stream, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return false;  // none, or a file system without streams
    }
    bool other = false;
    do {
        other = other || std::wstring_view(stream.cStreamName) != L"::$DATA";
    } while (!other && FindNextStreamW(search, &stream));
    FindClose(search);
    return other;
}

// Whether the files open as `from` and `to` have one owner: giving a new file
// another owner takes a privilege.
bool same_owner(HANDLE from, HANDLE to) {
    PSID owners[2] = {};
    PSECURITY_DESCRIPTOR descriptors[2] = {};
    const HANDLE files[2] = {from, to};
    bool known = true;
    for (int i = 0; i < 2; ++i) {
        known = known && GetSecurityInfo(files[i], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                         &owners[i], nullptr, nullptr, nullptr,
                                         &descriptors[i]) == ERROR_SUCCESS;
    }
    const bool same = known && owners[0] != nullptr && owners[1] != nullptr &&
                      EqualSid(owners[0], owners[1]);
    LocalFree(descriptors[0]);
    LocalFree(descriptors[1]);
    return same;
}

// Gives the file open as `to` the access rules of the file open as `from`,
// as they stand (inherited from the folder or its own), unless it has them
// already (a file system that keeps none: FAT under Wine refuses any);
// false when it cannot.
bool copy_access_rules(HANDLE from, HANDLE to) {
    PACL rules = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &rules,
                        nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    PACL own = nullptr;
    PSECURITY_DESCRIPTOR own_descriptor = nullptr;
    const bool alike =
        GetSecurityInfo(to, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &own,
                        nullptr, &own_descriptor) == ERROR_SUCCESS &&
        rules != nullptr && own != nullptr && rules->AclSize == own->AclSize &&
        std::memcmp(rules, own, rules->AclSize) == 0;
    LocalFree(own_descriptor);
    if (alike) {
        LocalFree(descriptor);
        return true;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    const DWORD which = DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) != 0
                                                         ? PROTECTED_DACL_SECURITY_INFORMATION
                                                         : UNPROTECTED_DACL_SECURITY_INFORMATION);
    const bool copied =
        SetSecurityInfo(to, SE_FILE_OBJECT, which, nullptr, nullptr, rules, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return copied;
}

}  // namespace

Result carry_metadata(Target& target, NewFile& file) {
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(target.file, FileBasicInfo, &basic, sizeof basic)) {
        return win::failed("FileBasicInfo");
    }
    // What these calls cannot give a new file (compression, encryption, a
    // sparse file, other streams, another owner) stays with the old file:
    // written in place.
    constexpr DWORD kNotCarried = FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_ENCRYPTED |
                                  FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((basic.FileAttributes & kNotCarried) != 0 || has_other_streams(win::wide(target.folder_path + "\\" + target.name))) {
        return Failure{Reason::unsupported, 0, "FileBasicInfo"};
    }
    if (!same_owner(target.file, file.file)) {
        return Failure{Reason::permission, 0, "OWNER_SECURITY_INFORMATION"};
    }
    if (!copy_access_rules(target.file, file.file)) {
        return Failure{Reason::permission, 0, "SetSecurityInfo"};
    }
    // Its attributes (hidden, system, ...) and its creation time; the other
    // times are the new file's own.
    // Attributes it has already are left alone (FAT under Wine refuses any).
    FILE_BASIC_INFO own{};
    FILE_BASIC_INFO kept{};
    kept.CreationTime = basic.CreationTime;
    if (!GetFileInformationByHandleEx(file.file, FileBasicInfo, &own, sizeof own) ||
        own.FileAttributes != basic.FileAttributes) {
        kept.FileAttributes = basic.FileAttributes;
    }
    return SetFileInformationByHandle(file.file, FileBasicInfo, &kept, sizeof kept)
               ? Result{}
               : Failure{Reason::permission, 0, "FileBasicInfo"};
}

}  // namespace vork::platform
