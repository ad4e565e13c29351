// fake_installer_platform.cpp - the in-memory registry and the recorder.
#include "fake_installer_platform.h"

#include <string.h>

namespace {

FakeInstallerPlatform &Self(void *lpContext) { return *static_cast<FakeInstallerPlatform *>(lpContext); }

FakeHandle &Handle(OstrelKey hKey) { return *static_cast<FakeHandle *>(hKey); }

}  // namespace

int FakeInstallerPlatform::Run() {
    const OstrelPlatform platform = {this, OpenKey, QueryValue, SetValue, CloseKey, ShowMessage, RunCommand};
    return OstrelRun(&platform);
}

std::vector<std::string> FakeInstallerPlatform::OpenKeys() const {
    std::vector<std::string> open;
    for (const FakeHandle &handle : handles_)
        if (!handle.bClosed) open.push_back(handle.strPath);
    return open;
}

void FakeInstallerPlatform::SetText(const std::string &strKey, const std::string &strName,
                                    const std::string &strText) {
    SetBytes(strKey, strName, OSTREL_REG_SZ, std::string(strText.c_str(), strText.size() + 1));
}

void FakeInstallerPlatform::SetBytes(const std::string &strKey, const std::string &strName, uint32_t dwType,
                                     const std::string &strBytes) {
    keys[strKey].values[strName] =
        FakeValue{dwType, std::vector<unsigned char>(strBytes.begin(), strBytes.end())};
}

long FakeInstallerPlatform::OpenKey(void *lpContext, const char *szPath, uint32_t dwAccess,
                                    OstrelKey *lphKey) {
    FakeInstallerPlatform &self = Self(lpContext);
    self.events.push_back("open " + std::string(szPath) +
                          (dwAccess == OSTREL_KEY_READ    ? " read"
                           : dwAccess == OSTREL_KEY_WRITE ? " write"
                                                          : " other"));
    auto it = self.keys.find(szPath);
    if (it == self.keys.end()) return kFakeErrorFileNotFound;
    if ((dwAccess == OSTREL_KEY_READ && it->second.bDenyRead) ||
        (dwAccess == OSTREL_KEY_WRITE && it->second.bDenyWrite))
        return kFakeErrorAccessDenied;
    self.handles_.push_back(FakeHandle{szPath});
    *lphKey = &self.handles_.back();
    return 0;
}

long FakeInstallerPlatform::QueryValue(void *lpContext, OstrelKey hKey, const char *szName,
                                       unsigned char *lpData, uint32_t *lpdwSize) {
    FakeInstallerPlatform &self = Self(lpContext);
    self.events.push_back("query " + std::string(szName) + " " + std::to_string(*lpdwSize));
    const FakeKey &key = self.keys.at(Handle(hKey).strPath);
    auto it = key.values.find(szName);
    if (it == key.values.end()) return kFakeErrorFileNotFound;
    const std::vector<unsigned char> &abData = it->second.abData;
    uint32_t dwOffered = *lpdwSize;
    *lpdwSize = static_cast<uint32_t>(abData.size());
    if (abData.size() > dwOffered) return kFakeErrorMoreData;
    if (!abData.empty()) memcpy(lpData, abData.data(), abData.size());
    return 0;
}

long FakeInstallerPlatform::SetValue(void *lpContext, OstrelKey hKey, const char *szName, uint32_t dwType,
                                     const unsigned char *lpData, uint32_t dwSize) {
    FakeInstallerPlatform &self = Self(lpContext);
    self.events.push_back("set " + std::string(szName) + " type " + std::to_string(dwType) + " size " +
                          std::to_string(dwSize));
    self.keys.at(Handle(hKey).strPath).values[szName] =
        FakeValue{dwType, std::vector<unsigned char>(lpData, lpData + dwSize)};
    return 0;
}

long FakeInstallerPlatform::CloseKey(void *lpContext, OstrelKey hKey) {
    Self(lpContext).events.push_back("close " + Handle(hKey).strPath);
    Handle(hKey).bClosed = true;
    return 0;
}

int FakeInstallerPlatform::ShowMessage(void *lpContext, const char *szText, const char *szCaption,
                                       uint32_t dwStyle) {
    Self(lpContext).messages.push_back(FakeMessage{szText, szCaption, dwStyle});
    return 1;  // IDOK
}

int FakeInstallerPlatform::RunCommand(void *lpContext, const char *szCommandLine) {
    FakeInstallerPlatform &self = Self(lpContext);
    self.events.push_back("run " + std::string(szCommandLine));
    self.commands.push_back(szCommandLine);
    return 0;
}
