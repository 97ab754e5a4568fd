#include "engine/platformlogin.h"

#include "engine/platformwin.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <objbase.h>
#include <shlobj.h>
#include <windows.h>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

QString shortcutPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) +
           u"/Startup/Quorvin PDF 批量处理.lnk"_s;
}

// A COM pointer released when it goes.
template <typename T> struct ComPointer
{
    T* pointer = nullptr;
    ~ComPointer()
    {
        if (pointer)
            pointer->Release();
    }
    T* operator->() const { return pointer; }
};

// COM for this thread while it lives, where nobody started it yet.
struct ComApartment
{
    bool started = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    ~ComApartment()
    {
        if (started)
            CoUninitialize();
    }
};

} // namespace

bool startsAtLogin()
{
    return QFile::exists(shortcutPath());
}

QString setStartAtLogin(bool on, const QString& program)
{
    const QString path = shortcutPath();
    if (!on) {
        if (QFile::exists(path) && !QFile::remove(path))
            return u"无法删除启动文件夹中的快捷方式 %1。"_s.arg(QDir::toNativeSeparators(path));
        return {};
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    const ComApartment apartment;
    ComPointer<IShellLinkW> link;
    ComPointer<IPersistFile> file;
    const std::wstring target = win::nativeName(program);
    const std::wstring folder = win::nativeName(QFileInfo(program).absolutePath());
    const bool saved =
        SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link.pointer))) &&
        SUCCEEDED(link->SetPath(target.c_str())) &&
        SUCCEEDED(link->SetWorkingDirectory(folder.c_str())) &&
        SUCCEEDED(
            link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file.pointer))) &&
        SUCCEEDED(file->Save(QDir::toNativeSeparators(path).toStdWString().c_str(), TRUE));
    if (!saved)
        return u"无法在启动文件夹中创建快捷方式 %1。"_s.arg(QDir::toNativeSeparators(path));
    return {};
}

} // namespace batch
