#include "board/UsbGadget.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/usb/functionfs.h>
#include <sstream>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr char GADGET_PREFIX[] = "quillon-";
constexpr char CONFIG_NAME[] = "c.1";
constexpr char LANGUAGE_DIR[] = "0x409"; // US English
constexpr uint16_t LANGUAGE_US_ENGLISH = 0x0409;
constexpr uint16_t FULL_SPEED_PACKET = 64;
constexpr uint16_t HIGH_SPEED_PACKET = 512;

const char ROOT_NEEDED[] =
    "making a USB gadget needs root: run quillon-board as root (sudo quillon-board --usb-gadget)";
const char FUNCTIONFS_MISSING[] =
    "the kernel's FunctionFS (module usb_f_fs) is not available: load it with "
    "'sudo modprobe usb_f_fs'";

bool IsDirectory(const std::string& strPath)
{
    struct stat info
    {
    };
    return ::stat(strPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsSymlink(const std::string& strPath)
{
    struct stat info
    {
    };
    return ::lstat(strPath.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::vector<std::string> ListDirectory(const std::string& strPath)
{
    std::vector<std::string> names;
    DIR* pDir = ::opendir(strPath.c_str());
    if (pDir == nullptr)
    {
        return names;
    }
    while (const dirent* pEntry = ::readdir(pDir))
    {
        const std::string strName = pEntry->d_name;
        if (strName != "." && strName != "..")
        {
            names.push_back(strName);
        }
    }
    ::closedir(pDir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFirstLine(const std::string& strPath)
{
    std::ifstream file(strPath);
    std::string strLine;
    std::getline(file, strLine);
    while (!strLine.empty() && (strLine.back() == '\r' || strLine.back() == ' '))
    {
        strLine.pop_back();
    }
    return strLine;
}

// One write of the whole text, as configfs and sysfs attributes want it; errno tells why not.
bool WriteAttribute(const std::string& strPath, const std::string& strText)
{
    const int nFd = ::open(strPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (nFd < 0)
    {
        return false;
    }
    const ssize_t nWritten = ::write(nFd, strText.data(), strText.size());
    const int nError = errno;
    ::close(nFd);
    errno = nError;
    return nWritten == static_cast<ssize_t>(strText.size());
}

bool FileHasLineEnding(const std::string& strPath, const std::string& strWord)
{
    std::ifstream file(strPath);
    std::string strLine;
    while (std::getline(file, strLine))
    {
        if (strLine.size() >= strWord.size() &&
            strLine.compare(strLine.size() - strWord.size(), strWord.size(), strWord) == 0)
        {
            return true;
        }
    }
    return false;
}

// Whether a file system of this type is mounted at strPoint, by the mount table's lines
// "SOURCE POINT TYPE OPTIONS ...".
bool IsMounted(const std::string& strMounts, const std::string& strPoint,
               const std::string& strType)
{
    std::ifstream file(strMounts);
    std::string strLine;
    while (std::getline(file, strLine))
    {
        std::istringstream words(strLine);
        std::string strSource;
        std::string strMountPoint;
        std::string strFsType;
        if (words >> strSource >> strMountPoint >> strFsType && strMountPoint == strPoint &&
            (strType.empty() || strFsType == strType))
        {
            return true;
        }
    }
    return false;
}

std::string NoControllerText(const std::string& strUdcClass)
{
    return "this machine has no USB device controller (" + strUdcClass +
           " is empty): on a Raspberry Pi (Zero, Zero 2, 4, 5) add the line "
           "dtoverlay=dwc2,dr_mode=peripheral to /boot/firmware/config.txt (/boot/config.txt on "
           "older systems) and reboot; to try it without hardware, 'sudo modprobe dummy_hcd' makes "
           "a controller that is plugged into a USB port of this same machine";
}

std::string Join(const std::vector<std::string>& parts)
{
    std::string strText;
    for (const std::string& strPart : parts)
    {
        strText += (strText.empty() ? "" : ", ") + strPart;
    }
    return strText;
}

std::string ErrorText(const std::string& strWhat)
{
    if (errno == EACCES || errno == EPERM)
    {
        return ROOT_NEEDED;
    }
    return strWhat + ": " + std::strerror(errno);
}

void Put16(std::vector<uint8_t>* pOut, uint16_t nValue)
{
    pOut->push_back(static_cast<uint8_t>(nValue));
    pOut->push_back(static_cast<uint8_t>(nValue >> 8));
}

void Put32(std::vector<uint8_t>* pOut, uint32_t nValue)
{
    Put16(pOut, static_cast<uint16_t>(nValue));
    Put16(pOut, static_cast<uint16_t>(nValue >> 16));
}

void PutText(std::vector<uint8_t>* pOut, const std::string& strText, size_t nSize)
{
    std::string strPadded = strText;
    strPadded.resize(nSize, '\0');
    pOut->insert(pOut->end(), strPadded.begin(), strPadded.end());
}

void SetLength(std::vector<uint8_t>* pOut)
{
    const auto nSize = static_cast<uint32_t>(pOut->size());
    for (int i = 0; i < 4; ++i)
    {
        (*pOut)[4 + i] = static_cast<uint8_t>(nSize >> (8 * i));
    }
}
} // namespace

std::string GadgetPrerequisiteProblem(const CGadgetRoots& roots)
{
    const std::string strGadgets = roots.m_strConfigfs + "/usb_gadget";
    if (!IsDirectory(strGadgets))
    {
        if (!FileHasLineEnding(roots.m_strFilesystems, "configfs"))
        {
            return "the kernel's configfs is not loaded: load it with 'sudo modprobe libcomposite' "
                   "(it brings configfs), then mount it with 'sudo mount -t configfs none " +
                   roots.m_strConfigfs + "'";
        }
        if (!IsMounted(roots.m_strMounts, roots.m_strConfigfs, "configfs"))
        {
            return "configfs is not mounted at " + roots.m_strConfigfs +
                   ": mount it with 'sudo mount -t configfs none " + roots.m_strConfigfs + "'";
        }
        return "the kernel's USB gadget support (module libcomposite) is not loaded, so " +
               strGadgets + " is missing: load it with 'sudo modprobe libcomposite'";
    }
    if (ListDirectory(roots.m_strUdcClass).empty())
    {
        return NoControllerText(roots.m_strUdcClass);
    }
    return {};
}

std::string ChooseUdc(const CGadgetRoots& roots, const std::string& strWanted,
                      std::string* pstrError)
{
    const std::vector<std::string> controllers = ListDirectory(roots.m_strUdcClass);
    if (controllers.empty())
    {
        *pstrError = NoControllerText(roots.m_strUdcClass);
        return {};
    }
    // A controller's "function" names the gadget bound to it; empty when it is free.
    std::vector<std::string> uses;
    for (const std::string& strController : controllers)
    {
        const std::string strUser =
            ReadFirstLine(roots.m_strUdcClass + "/" + strController + "/function");
        if (strUser.empty() && (strWanted.empty() || strWanted == strController))
        {
            return strController;
        }
        if (strWanted == strController)
        {
            *pstrError = "the USB device controller " + strWanted + " is in use by the gadget \"" +
                         strUser + "\"; choose another one or remove that gadget";
            return {};
        }
        uses.push_back(strController + " by \"" + strUser + "\"");
    }
    if (!strWanted.empty())
    {
        *pstrError = "there is no USB device controller \"" + strWanted + "\" in " +
                     roots.m_strUdcClass + " (there is: " + Join(controllers) + ")";
        return {};
    }
    *pstrError = "every USB device controller is in use (" + Join(uses) +
                 "): remove a gadget, or name its controller after --usb-gadget";
    return {};
}

std::vector<uint8_t> FunctionFsDescriptors(const std::string& strInterfaceGuid)
{
    std::vector<uint8_t> out;
    Put32(&out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    Put32(&out, 0); // the length, set at the end
    Put32(&out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_HAS_MS_OS_DESC);
    Put32(&out, 3); // full speed: the interface and its two endpoints
    Put32(&out, 3); // high speed: the same
    Put32(&out, 2); // Microsoft OS descriptors: compatible id, properties
    for (const uint16_t nPacket : {FULL_SPEED_PACKET, HIGH_SPEED_PACKET})
    {
        out.insert(out.end(), {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2,
                               USB_CLASS_VENDOR_SPEC, 0, 0, 1});
        for (const uint8_t nAddress : {uint8_t(1 | USB_DIR_OUT), uint8_t(2 | USB_DIR_IN)})
        {
            out.insert(out.end(),
                       {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, nAddress, USB_ENDPOINT_XFER_BULK});
            Put16(&out, nPacket);
            out.push_back(0); // bInterval
        }
    }
    // Extended compatible id: interface 0 is WINUSB.
    out.push_back(0); // interface
    Put32(&out, 16 + 24);
    Put16(&out, 1);   // bcdVersion 1.00
    Put16(&out, 4);   // wIndex: extended compatible id
    out.push_back(1); // one function section
    out.push_back(0); // reserved
    out.push_back(0); // bFirstInterfaceNumber
    out.push_back(1); // reserved, 1
    PutText(&out, "WINUSB", 8);
    PutText(&out, "", 8); // no sub-compatible id
    PutText(&out, "", 6);
    // Extended properties of interface 0: DeviceInterfaceGUID, a string. FunctionFS takes names
    // and strings as 8-bit text with their NUL and gives them to the host in UTF-16.
    const std::string strName = "DeviceInterfaceGUID";
    const auto nNameLength = static_cast<uint16_t>(strName.size() + 1);
    const auto nDataLength = static_cast<uint32_t>(strInterfaceGuid.size() + 1);
    const uint32_t nProperty = 14 + nNameLength + nDataLength;
    out.push_back(0); // interface
    Put32(&out, 10 + nProperty);
    Put16(&out, 1); // bcdVersion 1.00
    Put16(&out, 5); // wIndex: extended properties
    Put16(&out, 1); // one property
    Put32(&out, nProperty);
    Put32(&out, 1); // REG_SZ
    Put16(&out, nNameLength);
    PutText(&out, strName, nNameLength);
    Put32(&out, nDataLength);
    PutText(&out, strInterfaceGuid, nDataLength);
    SetLength(&out);
    return out;
}

std::vector<uint8_t> FunctionFsStrings(const std::string& strInterface)
{
    std::vector<uint8_t> out;
    Put32(&out, FUNCTIONFS_STRINGS_MAGIC);
    Put32(&out, 0); // the length, set at the end
    Put32(&out, 1); // strings
    Put32(&out, 1); // languages
    Put16(&out, LANGUAGE_US_ENGLISH);
    PutText(&out, strInterface, strInterface.size() + 1);
    SetLength(&out);
    return out;
}

CUsbGadget::CUsbGadget(std::string strBoardName, CGadgetRoots roots)
    : m_strName(GADGET_PREFIX + strBoardName), m_roots(std::move(roots)),
      m_strGadget(m_roots.m_strConfigfs + "/usb_gadget/" + m_strName),
      m_strMountPoint(m_roots.m_strRun + "/" + m_strName)
{
}

CUsbGadget::~CUsbGadget()
{
    Remove();
}

bool CUsbGadget::Create(const CGadgetIdentity& identity, std::string* pstrError)
{
    if (m_strName.size() > GADGET_MAX_INSTANCE_NAME)
    {
        *pstrError = "the name is too long for a USB gadget (at most " +
                     std::to_string(GADGET_MAX_INSTANCE_NAME - std::strlen(GADGET_PREFIX)) +
                     " characters)";
        return false;
    }
    *pstrError = GadgetPrerequisiteProblem(m_roots);
    if (!pstrError->empty())
    {
        return false;
    }
    if (::mkdir(m_roots.m_strRun.c_str(), 0755) != 0 && errno != EEXIST)
    {
        *pstrError = ErrorText("cannot create " + m_roots.m_strRun);
        return false;
    }
    const std::string strLock = m_strMountPoint + ".lock";
    m_nLockFd = ::open(strLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_nLockFd < 0)
    {
        *pstrError = ErrorText("cannot open " + strLock);
        return false;
    }
    if (::flock(m_nLockFd, LOCK_EX | LOCK_NB) != 0)
    {
        *pstrError = "another quillon-board serves this board already (it holds " + strLock + ")";
        ::close(m_nLockFd);
        m_nLockFd = -1;
        return false;
    }
    // Whoever made a gadget of this name held the lock while it lived: it is gone.
    RemoveGadget();

    auto fail = [&](const std::string& strReason)
    {
        *pstrError = strReason;
        Remove();
        return false;
    };
    if (::mkdir(m_strGadget.c_str(), 0755) != 0)
    {
        return fail(ErrorText("cannot create " + m_strGadget));
    }
    char szId[8];
    const auto attribute = [&](const std::string& strFile, const std::string& strValue)
    { return WriteAttribute(m_strGadget + "/" + strFile, strValue); };
    std::snprintf(szId, sizeof(szId), "0x%04x", identity.m_id.m_nVendor);
    bool bOk = attribute("idVendor", szId);
    std::snprintf(szId, sizeof(szId), "0x%04x", identity.m_id.m_nProduct);
    bOk = bOk && attribute("idProduct", szId) && attribute("bcdDevice", "0x0100");
    // High speed at most: the function has no SuperSpeed descriptors. Older kernels have no
    // such attribute and never go faster with this function anyway.
    attribute("max_speed", "high-speed");
    const std::string strStrings = std::string("strings/") + LANGUAGE_DIR;
    const std::string strConfig = std::string("configs/") + CONFIG_NAME;
    const std::string strFunction = "functions/ffs." + m_strName;
    bOk = bOk && ::mkdir((m_strGadget + "/" + strStrings).c_str(), 0755) == 0 &&
          attribute(strStrings + "/manufacturer", identity.m_strManufacturer) &&
          attribute(strStrings + "/product", identity.m_strProduct) &&
          attribute(strStrings + "/serialnumber", identity.m_strSerial) &&
          ::mkdir((m_strGadget + "/" + strConfig).c_str(), 0755) == 0 &&
          attribute(strConfig + "/MaxPower", "100") &&
          ::mkdir((m_strGadget + "/" + strConfig + "/" + strStrings).c_str(), 0755) == 0 &&
          attribute(strConfig + "/" + strStrings + "/configuration", "Plinth bootloader");
    if (!bOk)
    {
        return fail(ErrorText("cannot set up " + m_strGadget));
    }
    if (::mkdir((m_strGadget + "/" + strFunction).c_str(), 0755) != 0)
    {
        return fail(errno == EACCES || errno == EPERM ? ErrorText("") : FUNCTIONFS_MISSING);
    }
    char szCode[8];
    std::snprintf(szCode, sizeof(szCode), "0x%02x", GADGET_MS_VENDOR_CODE);
    if (::symlink((m_strGadget + "/" + strFunction).c_str(),
                  (m_strGadget + "/" + strConfig + "/ffs." + m_strName).c_str()) != 0 ||
        !attribute("os_desc/use", "1") || !attribute("os_desc/b_vendor_code", szCode) ||
        !attribute("os_desc/qw_sign", "MSFT100") ||
        ::symlink((m_strGadget + "/" + strConfig).c_str(),
                  (m_strGadget + "/os_desc/" + CONFIG_NAME).c_str()) != 0)
    {
        return fail(ErrorText("cannot set up " + m_strGadget));
    }
    if (::mkdir(m_strMountPoint.c_str(), 0700) != 0 && errno != EEXIST)
    {
        return fail(ErrorText("cannot create " + m_strMountPoint));
    }
    // mount(2) itself: the mount program would take the source for a path if one of that name
    // happened to exist in the current directory.
    if (::mount(m_strName.c_str(), m_strMountPoint.c_str(), "functionfs",
                MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
    {
        return fail(errno == ENODEV ? FUNCTIONFS_MISSING
                                    : ErrorText("cannot mount FunctionFS at " + m_strMountPoint));
    }
    m_bMounted = true;
    return true;
}

bool CUsbGadget::Bind(const std::string& strUdc, std::string* pstrError)
{
    // Someone bound it by hand meanwhile (echo UDC > .../UDC): it is on the bus already.
    const std::string strBound = ReadFirstLine(m_strGadget + "/UDC");
    if (!strBound.empty())
    {
        m_strUdc = strBound;
        return true;
    }
    const std::string strChosen = ChooseUdc(m_roots, strUdc, pstrError);
    if (strChosen.empty())
    {
        return false;
    }
    if (!WriteAttribute(m_strGadget + "/UDC", strChosen))
    {
        *pstrError = errno == EBUSY
                         ? "the USB device controller " + strChosen + " is in use by another gadget"
                         : ErrorText("cannot bind the gadget to " + strChosen);
        return false;
    }
    m_strUdc = strChosen;
    return true;
}

void CUsbGadget::Unbind()
{
    if (IsDirectory(m_strGadget) && !ReadFirstLine(m_strGadget + "/UDC").empty())
    {
        WriteAttribute(m_strGadget + "/UDC", "\n");
    }
    m_strUdc.clear();
}

void CUsbGadget::Remove()
{
    if (m_nLockFd < 0)
    {
        return; // never made, or another program's
    }
    RemoveGadget();
    if (m_nLockFd >= 0)
    {
        ::close(m_nLockFd);
        m_nLockFd = -1;
    }
}

void CUsbGadget::RemoveGadget()
{
    Unbind();
    if (IsDirectory(m_strGadget))
    {
        // In the order the kernel wants it: links out of the configurations, the
        // configurations, the functions, the strings, the gadget.
        for (const std::string& strConfig : ListDirectory(m_strGadget + "/configs"))
        {
            const std::string strDir = m_strGadget + "/configs/" + strConfig;
            for (const std::string& strEntry : ListDirectory(strDir))
            {
                if (IsSymlink(strDir + "/" + strEntry))
                {
                    ::unlink((strDir + "/" + strEntry).c_str());
                }
            }
            for (const std::string& strLanguage : ListDirectory(strDir + "/strings"))
            {
                ::rmdir((strDir + "/strings/" + strLanguage).c_str());
            }
        }
        for (const std::string& strLink : ListDirectory(m_strGadget + "/os_desc"))
        {
            if (IsSymlink(m_strGadget + "/os_desc/" + strLink))
            {
                ::unlink((m_strGadget + "/os_desc/" + strLink).c_str());
            }
        }
        for (const std::string& strConfig : ListDirectory(m_strGadget + "/configs"))
        {
            ::rmdir((m_strGadget + "/configs/" + strConfig).c_str());
        }
    }
    if (m_bMounted || IsMounted(m_roots.m_strMounts, m_strMountPoint, "functionfs"))
    {
        if (::umount2(m_strMountPoint.c_str(), 0) != 0 && errno == EBUSY)
        {
            ::umount2(m_strMountPoint.c_str(), MNT_DETACH);
        }
        m_bMounted = false;
    }
    ::rmdir(m_strMountPoint.c_str());
    if (IsDirectory(m_strGadget))
    {
        for (const std::string& strFunction : ListDirectory(m_strGadget + "/functions"))
        {
            ::rmdir((m_strGadget + "/functions/" + strFunction).c_str());
        }
        for (const std::string& strLanguage : ListDirectory(m_strGadget + "/strings"))
        {
            ::rmdir((m_strGadget + "/strings/" + strLanguage).c_str());
        }
        ::rmdir(m_strGadget.c_str());
    }
}
