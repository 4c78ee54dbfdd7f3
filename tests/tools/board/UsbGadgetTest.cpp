// What keeps quillon-board --usb-gadget from making its gadget, said with how to get it, and
// which device controller it takes: against a made-up configfs and /sys/class/udc.

#include "board/UsbGadget.h"
#include "lang/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/file.h>
#include <unistd.h>

namespace
{
struct CFakeSystem
{
    CTempDir m_dir;
    CGadgetRoots m_roots;

    CFakeSystem()
    {
        m_roots.m_strConfigfs = m_dir.Path("config");
        m_roots.m_strUdcClass = m_dir.Path("udc");
        m_roots.m_strRun = m_dir.Path("run");
        m_roots.m_strMounts = m_dir.Path("mounts");
        m_roots.m_strFilesystems = m_dir.Path("filesystems");
        std::filesystem::create_directories(m_roots.m_strUdcClass);
        m_dir.Write("filesystems", "nodev\tsysfs\nnodev\tproc\n");
        m_dir.Write("mounts", "sysfs /sys sysfs rw 0 0\n");
    }
    void LoadConfigfs() const { m_dir.Write("filesystems", "nodev\tsysfs\nnodev\tconfigfs\n"); }
    void MountConfigfs() const
    {
        m_dir.Write("mounts", "configfs " + m_roots.m_strConfigfs + " configfs rw 0 0\n");
    }
    void LoadLibcomposite() const
    {
        std::filesystem::create_directories(m_roots.m_strConfigfs + "/usb_gadget");
    }
    // A controller; a gadget's name when one is bound to it.
    void AddController(const std::string& strName, const std::string& strUser = "") const
    {
        m_dir.Write("udc/" + strName + "/function", strUser.empty() ? "" : strUser + "\n");
    }
};

TEST(UsbGadgetTest, WhatIsMissingIsSaidWithHowToGetIt)
{
    struct CCase
    {
        const char* m_pszName;
        int m_nSteps; // how far the system is set up
        const char* m_pszSays;
    };
    const CCase cases[] = {
        {"no configfs", 0, "sudo modprobe libcomposite"},
        {"configfs not mounted", 1, "sudo mount -t configfs none "},
        {"no libcomposite", 2, "(module libcomposite) is not loaded"},
        {"no device controller", 3, "dtoverlay=dwc2"},
        {"everything there", 4, ""},
    };
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        CFakeSystem system;
        const std::function<void()> steps[] = {
            [&] { system.LoadConfigfs(); }, [&] { system.MountConfigfs(); },
            [&] { system.LoadLibcomposite(); }, [&] { system.AddController("dummy_udc.0"); }};
        for (int i = 0; i < c.m_nSteps; ++i)
        {
            steps[i]();
        }
        const std::string strProblem = GadgetPrerequisiteProblem(system.m_roots);
        if (*c.m_pszSays == '\0')
        {
            EXPECT_EQ(strProblem, "");
        }
        else
        {
            EXPECT_NE(strProblem.find(c.m_pszSays), std::string::npos) << strProblem;
        }
    }
}

TEST(UsbGadgetTest, TheControllerIsTheOneNamedOrTheFirstFree)
{
    struct CCase
    {
        const char* m_pszName;
        std::vector<std::pair<std::string, std::string>> m_controllers; // name, gadget using it
        std::string m_strWanted;
        std::string m_strChosen;
        const char* m_pszSays; // when none is chosen
    };
    const CCase cases[] = {
        {"the first free", {{"a", "g0"}, {"b", ""}, {"c", ""}}, "", "b", ""},
        {"the one named", {{"a", ""}, {"b", ""}}, "b", "b", ""},
        {"named but in use",
         {{"a", ""}, {"b", "g1"}},
         "b",
         "",
         "the USB device controller b is in use by the gadget \"g1\""},
        {"named but not there",
         {{"a", ""}, {"b", "g1"}},
         "fe980000.usb",
         "",
         "there is no USB device controller \"fe980000.usb\" in "},
        {"all in use",
         {{"a", "g0"}, {"b", "g1"}},
         "",
         "",
         "every USB device controller is in use (a by \"g0\", b by \"g1\")"},
        {"none at all", {}, "", "", "this machine has no USB device controller"},
    };
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        CFakeSystem system;
        for (const auto& [strName, strUser] : c.m_controllers)
        {
            system.AddController(strName, strUser);
        }
        std::string strError;
        EXPECT_EQ(ChooseUdc(system.m_roots, c.m_strWanted, &strError), c.m_strChosen);
        EXPECT_NE(strError.find(c.m_pszSays), std::string::npos) << strError;
        if (c.m_strWanted == "fe980000.usb")
        {
            EXPECT_NE(strError.find("(there is: a, b)"), std::string::npos) << strError;
        }
    }
}

TEST(UsbGadgetTest, ABoardServedByAnotherProgramIsLeftAlone)
{
    CFakeSystem system;
    system.LoadConfigfs();
    system.MountConfigfs();
    system.LoadLibcomposite();
    system.AddController("dummy_udc.0");
    // Another program's gadget of the same name, with its lock held.
    const std::string strOther = system.m_roots.m_strConfigfs + "/usb_gadget/quillon-plinth0";
    std::filesystem::create_directories(strOther + "/configs/c.1");
    std::filesystem::create_directories(system.m_roots.m_strRun);
    const std::string strLock = system.m_roots.m_strRun + "/quillon-plinth0.lock";
    const int nLock = ::open(strLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(nLock, 0);
    ASSERT_EQ(::flock(nLock, LOCK_EX | LOCK_NB), 0);
    {
        CUsbGadget gadget("plinth0", system.m_roots);
        std::string strError;
        EXPECT_FALSE(gadget.Create({}, &strError));
        EXPECT_NE(strError.find("another quillon-board serves this board already"),
                  std::string::npos)
            << strError;
    }
    EXPECT_TRUE(std::filesystem::exists(strOther + "/configs/c.1"));
    ::close(nLock);
}
} // namespace
