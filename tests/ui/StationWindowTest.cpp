// The station window as a screen reader finds it: a tile per slot named by its slot and state,
// the counters, Stop from the keyboard; read through the accessibility tree, offscreen.

#include "ui/station/SlotTile.h"
#include "ui/station/StationWnd.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <map>

namespace
{
// Every named node of the tree: its name, then its description.
std::map<QString, QString> AccessibleTree(QWidget* pWindow)
{
    std::map<QString, QString> nodes;
    std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* pNode)
    {
        if (pNode == nullptr || !pNode->isValid())
        {
            return;
        }
        const QString strName = pNode->text(QAccessible::Name);
        if (!strName.isEmpty() && !pNode->state().invisible)
        {
            nodes[strName] = pNode->text(QAccessible::Description);
        }
        for (int n = 0; n < pNode->childCount(); ++n)
        {
            walk(pNode->child(n));
        }
    };
    walk(QAccessible::queryAccessibleInterface(pWindow));
    return nodes;
}

CStationImage Image()
{
    CStationImage image;
    image.m_strName = "blinky.bin";
    image.m_strFullPath = "/home/user/firmware/blinky.bin";
    image.m_data.assign(28, 0x42);
    image.m_strSha256 = "d252dabcaeec2bb5c0d9b3a2d0ab0f8e7d0d4f1a1c4f54bd3f2a0e0a9c1b2c3d";
    return image;
}

CStationEvent Event(EStationEvent eKind, const std::string& strName)
{
    CStationEvent event;
    event.m_eKind = eKind;
    event.m_strSlot = "/run/user/1000/quillon/boards/" + strName;
    event.m_strDescription = "Plinth board (virtual)";
    return event;
}

CStationEvent Finished(const std::string& strName, EFlashEnd eEnd, const std::string& strReason)
{
    CStationEvent event = Event(EStationEvent::Finished, strName);
    event.m_outcome.m_eEnd = eEnd;
    event.m_outcome.m_strMessage = eEnd == EFlashEnd::Failed ? "Send Failed" : "";
    event.m_outcome.m_strReason = strReason;
    event.m_dSeconds = 1.5;
    return event;
}

CStationEvent Progress(const std::string& strName, uint64_t nDone)
{
    CStationEvent event = Event(EStationEvent::Progress, strName);
    event.m_nDone = nDone;
    event.m_nTotal = 28;
    return event;
}

struct CTreeCase
{
    const char* m_pszName;
    std::vector<CStationEvent> m_events;
    // Accessible name to the text its description must hold ("" for any description).
    std::map<QString, QString> m_nodes;
    std::vector<QString> m_absent; // names that must not be in the tree
};

const CTreeCase TREE_CASES[] = {
    {"ArrivedWaits",
     {Event(EStationEvent::Arrived, "plinth0")},
     {{"plinth0: WAITING", "Plinth board (virtual) at /run/user/1000/quillon/boards/plinth0"},
      {"Flashed", "Flashed 0"}},
     {}},
    {"FlashingSaysHowFar",
     {Event(EStationEvent::Arrived, "plinth0"), Event(EStationEvent::Started, "plinth0"),
      Progress("plinth0", 14)},
     {{"plinth0: FLASHING", ", 50%"}, {"Progress of plinth0", ""}},
     {"plinth0: WAITING"}},
    {"DoneCountsAndYields",
     {Event(EStationEvent::Arrived, "plinth0"), Event(EStationEvent::Started, "plinth0"),
      Finished("plinth0", EFlashEnd::Flashed, "")},
     {{"plinth0: DONE", "1.5 s"}, {"Flashed", "Flashed 1"}, {"Yield", "Yield 100.0%"}},
     {"plinth0: FLASHING"}},
    {"FailedSaysWhy",
     {Event(EStationEvent::Arrived, "plinth0"), Event(EStationEvent::Arrived, "plinth1"),
      Finished("plinth0", EFlashEnd::Flashed, ""),
      Finished("plinth1", EFlashEnd::Failed, "the board did not answer within 3000 ms")},
     {{"plinth1: FAILED", "Send Failed: the board did not answer within 3000 ms"},
      {"Failed", "Failed 1"},
      {"Yield", "Yield 50.0%"}},
     {}},
    {"StoppedIsNeitherFlashedNorFailed",
     {Event(EStationEvent::Arrived, "plinth0"),
      Finished("plinth0", EFlashEnd::Stopped, "stopped while sending")},
     {{"plinth0: STOPPED", "stopped while sending"},
      {"Flashed", "Flashed 0"},
      {"Yield", "Yield -"}},
     {}},
    {"LeftShowsEmpty",
     {Event(EStationEvent::Arrived, "plinth0"), Finished("plinth0", EFlashEnd::Flashed, ""),
      Event(EStationEvent::Left, "plinth0")},
     {{"plinth0: EMPTY", ""}},
     {"plinth0: DONE"}},
    {"BoardTextStaysText",
     {[]()
      {
          CStationEvent event = Event(EStationEvent::Arrived, "evil");
          event.m_strDescription = "<b>bold</b><img src=x>";
          return event;
      }()},
     {{"evil: WAITING", "<b>bold</b><img src=x> at "}},
     {}},
};

void PrintTo(const CTreeCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class StationTreeTable : public ::testing::TestWithParam<CTreeCase>
{
};

TEST_P(StationTreeTable, TilesAndCountersAsTheTreeTellsThem)
{
    const CTreeCase& row = GetParam();
    CStationWnd window(Image());
    window.show();
    for (const CStationEvent& event : row.m_events)
    {
        window.Apply(event);
    }
    QApplication::processEvents();
    const std::map<QString, QString> nodes = AccessibleTree(&window);

    for (const auto& [strName, strDescription] : row.m_nodes)
    {
        const auto it = nodes.find(strName);
        ASSERT_NE(it, nodes.end()) << strName.toStdString();
        EXPECT_TRUE(it->second.contains(strDescription))
            << strName.toStdString() << ": " << it->second.toStdString();
    }
    for (const QString& strName : row.m_absent)
    {
        EXPECT_EQ(nodes.count(strName), 0u) << strName.toStdString();
    }
    EXPECT_TRUE(nodes.at("Image size and SHA-256").contains("SHA-256 d252dabcaeec2bb5"));
}

INSTANTIATE_TEST_SUITE_P(Rows, StationTreeTable, ::testing::ValuesIn(TREE_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

// Tiles keep their places while their boards stay; a board that left gives its place up once
// its tile went, and the next board takes the first free place.
TEST(StationPlacesTest, TilesKeepTheirPlaces)
{
    CStationWnd window(Image());
    for (const char* pszName : {"a", "b", "c"})
    {
        window.Apply(Event(EStationEvent::Arrived, pszName));
    }
    window.Apply(Event(EStationEvent::Left, "b"));
    window.Apply(Event(EStationEvent::Arrived, "d"));
    ASSERT_EQ(window.Places().size(), 4u);
    EXPECT_EQ(window.Places()[1]->State(), ETileState::Empty);
    QTest::qWait(CStationWnd::EMPTY_LINGER_MS + 300);
    EXPECT_EQ(window.Places()[1], nullptr);
    EXPECT_EQ(window.Tile("/run/user/1000/quillon/boards/b"), nullptr);
    window.Apply(Event(EStationEvent::Arrived, "e"));
    ASSERT_NE(window.Places()[1], nullptr);
    EXPECT_EQ(window.Places()[1]->Slot().toStdString(), "/run/user/1000/quillon/boards/e");
    EXPECT_EQ(window.Places()[0]->Slot().toStdString(), "/run/user/1000/quillon/boards/a");
    EXPECT_EQ(window.Places()[3]->Slot().toStdString(), "/run/user/1000/quillon/boards/d");
}

// A board back in its slot while its tile still shows EMPTY takes that tile again.
TEST(StationPlacesTest, BoardBackInTimeKeepsItsTile)
{
    CStationWnd window(Image());
    window.Apply(Event(EStationEvent::Arrived, "a"));
    window.Apply(Event(EStationEvent::Left, "a"));
    window.Apply(Event(EStationEvent::Arrived, "a"));
    QTest::qWait(CStationWnd::EMPTY_LINGER_MS + 300);
    ASSERT_NE(window.Tile("/run/user/1000/quillon/boards/a"), nullptr);
    EXPECT_EQ(window.Tile("/run/user/1000/quillon/boards/a")->State(), ETileState::Waiting);
}

// Tab visits the tiles, then Stop; Escape asks the station to stop once; after the station
// ended, Stop is Close and ends the window with the station's result.
TEST(StationKeyboardTest, TabThroughTilesEscapeStopsThenCloses)
{
    CStationWnd window(Image());
    window.show();
    QApplication::setActiveWindow(&window);
    window.Apply(Event(EStationEvent::Arrived, "a"));
    window.Apply(Event(EStationEvent::Arrived, "b"));
    auto* pStop = window.findChild<QPushButton*>(QStringLiteral("buttonStop"));
    ASSERT_NE(pStop, nullptr);
    pStop->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), pStop);
    std::vector<QString> order;
    for (int n = 0; n < 3; ++n)
    {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order.push_back(QApplication::focusWidget()->accessibleName());
    }
    EXPECT_EQ(order, (std::vector<QString>{"a: WAITING", "b: WAITING", "Stop"}));

    QSignalSpy stops(&window, &CStationWnd::StopClicked);
    QTest::keyClick(&window, Qt::Key_Escape);
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_EQ(stops.count(), 1);
    EXPECT_TRUE(window.isVisible());

    window.Ended(39);
    EXPECT_EQ(pStop->accessibleName(), QStringLiteral("Close"));
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.result(), 39);
}
} // namespace
