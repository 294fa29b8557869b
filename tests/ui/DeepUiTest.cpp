// The desktop program's "Options" > "Deep Scan" item and EWF images opened as disk images, driven
// offscreen.

#include <gtest/gtest.h>

#include <QApplication>
#include <QMenuBar>
#include <QTest>
#include <QToolButton>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/engine/deep/DeepCorpus.h"
#include "ui/frmMainWindow.h"

namespace fs = std::filesystem;

namespace {

class DeepUiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() / ("pw-deepui-" + std::to_string(::getpid()));
        fs::create_directories(Dir);
        Corpus = MakeDeepCorpus(808, 16);
        Image = (Dir / "mail.img").string();
        std::ofstream(Image, std::ios::binary).write(Corpus.Image.data(), Corpus.Image.size());
    }
    void TearDown() override {
        Window.reset();
        fs::remove_all(Dir);
    }

    TfrmMain& Open(std::vector<std::string> Drives) {
        TfrmMain::THooks Hooks;
        Hooks.ShowMessage = [this](QMessageBox::Icon, const QString&, const QString& Text) {
            Boxes.push_back(Text);
        };
        Hooks.ChooseImage = [this] { return Chosen; };
        Hooks.ListDrives = [Drives] { return Drives; };
        Window = std::make_unique<TfrmMain>(Hooks);
        Window->show();
        return *Window;
    }

    std::vector<std::string> Found() const {
        std::vector<std::string> Texts;
        for (const TEmail& Email : Window->Core().Emails())
            Texts.push_back(Email.FullText);
        return Texts;
    }

    fs::path Dir;
    TDeepCorpus Corpus;
    std::string Image;
    QString Chosen;
    std::vector<QString> Boxes;
    std::unique_ptr<TfrmMain> Window;
};

TEST_F(DeepUiTest, DeepScanIsACheckableOptionOffUntilTicked) {
    TfrmMain& w = Open({Image});
    const QList<QAction*> Menus = w.menuBar()->actions();
    ASSERT_EQ(Menus.size(), 4);
    EXPECT_EQ(Menus[0]->text(), "&File");
    EXPECT_EQ(Menus[1]->text(), "&View");
    EXPECT_EQ(Menus[2]->text(), "&Options");
    EXPECT_EQ(Menus[3]->text(), "&Help");
    EXPECT_EQ(w.mnuDeepScan->text(), "Deep Scan");
    EXPECT_TRUE(w.mnuDeepScan->isCheckable());
    EXPECT_FALSE(w.mnuDeepScan->isChecked());

    // Off: the standard rule, which cannot take these messages whole.
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_LT(TallyFound(Corpus, Found()).Whole, Corpus.Messages.size());
    // On: every planted message whole, nothing else.
    w.mnuDeepScan->trigger();
    EXPECT_TRUE(w.mnuDeepScan->isChecked());
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_TRUE(Found() == Corpus.Messages);
    EXPECT_EQ(w.Model()->rowCount(), static_cast<int>(Corpus.Messages.size()));
    // Off again: back to the standard results.
    const std::vector<std::string> Deep = Found();
    w.mnuDeepScan->trigger();
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_FALSE(Found() == Deep);
    EXPECT_TRUE(Boxes.empty());

    // A new window (a new session) starts with it off: nothing is remembered.
    EXPECT_FALSE(Open({Image}).mnuDeepScan->isChecked());
}

TEST_F(DeepUiTest, AnEwfImageOpensAsADiskImage) {
    if (std::system("command -v ewfacquirestream >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ewfacquirestream not installed";
    const std::string Command = "ewfacquirestream -q -c fast -t '" + (Dir / "mail").string() +
                                "' < '" + Image + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(Command.c_str()), 0);
    TfrmMain& w = Open({});
    Chosen = QString::fromStdString((Dir / "mail.E01").string());
    w.mnuOpenImage->trigger();
    ASSERT_TRUE(Boxes.empty()) << Boxes[0].toStdString();
    ASSERT_EQ(w.Core().Drives(), std::vector<std::string>{(Dir / "mail.E01").string()});
    w.mnuDeepScan->trigger();
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    EXPECT_TRUE(Found() == Corpus.Messages);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication App(argc, argv);
    QApplication::setApplicationName("Parcelwright");
    return RUN_ALL_TESTS();
}
