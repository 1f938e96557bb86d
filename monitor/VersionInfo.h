#pragma once
#include <array>
#include <string>

namespace qz {

enum TVersionType {
    vtCompanyName, vtFileDescription, vtFileVersion, vtInternalName, vtLegalCopyright,
    vtLegalTradeMark, vtOriginalFileName, vtProductName, vtProductVersion, vtComments,
};

// The version strings of the running program, from its fixed language block.
class TrpVersionInfo {
public:
    TrpVersionInfo();
    explicit TrpVersionInfo(const std::string& filePath);
    const std::string& Get(TVersionType t) const { return FVersionInfo[t]; }
    const std::string& CompanyName() const { return Get(vtCompanyName); }
    const std::string& FileDescription() const { return Get(vtFileDescription); }
    const std::string& FileVersion() const { return Get(vtFileVersion); }
    const std::string& ProductName() const { return Get(vtProductName); }
    const std::string& ProductVersion() const { return Get(vtProductVersion); }

private:
    std::array<std::string, 10> FVersionInfo;
};

}  // namespace qz
