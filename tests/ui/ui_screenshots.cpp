// Not a test: takes the pictures a person checks by eye (and the README's screenshot). Runs the
// real program window on a real display (Xvfb), scans an image of sample mail made here, and
// saves PNG files of the main window with results and a preview, of the progress window in the
// middle of the scan, of the first run with no drive, of the export folder dialog and of the
// question before an earlier export's files are replaced; then of
// modern mail read: decoded (a date's tip shown), as stored (Message Source: the whole message),
// a copy's details, the details of a message its mail program marked deleted under the open View
// menu, and the progress window of the decoded text search as it runs.
//
//   xvfb-run -a -s "-screen 0 1280x900x24" build/tests/ui/ui_screenshots OUTDIR [IMAGE]
//
// IMAGE (the demo image, for instance) is scanned for the main window's pictures; without it
// the sample image made here serves for all of them.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHelpEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tests/ui/UiTestImages.h"
#include "ui/BrowseForFolderU.h"
#include "ui/frmMainWindow.h"
#include "ui/uistyle.h"
#include "ui/waitfrm.h"

namespace {

QString OutDir;

void Shoot(const QString& Name, const QRect& Area) {
    QCoreApplication::processEvents();
    QTest::qWait(150);
    QScreen* screen = QGuiApplication::primaryScreen();
    const QPixmap shot = screen->grabWindow(0, Area.x(), Area.y(), Area.width(), Area.height());
    const QString path = OutDir + "/" + Name;
    std::printf("%s %s\n", shot.save(path) ? "saved" : "FAILED", qPrintable(path));
}

// A window that photographs its progress window once rate and time left are known: the scan
// monitor's calls reach the real progress window through it.
class TShotWindow : public TfrmMain, private TProgressWindow {
  public:
    using TfrmMain::TfrmMain;
    bool Taken = false;
    TProgressWindow* ProgressOpen(std::uint64_t Maximum) override {
        FShown = TfrmMain::ProgressOpen(Maximum);
        return this;
    }
    void SetPosition(std::uint64_t Value) override { FShown->SetPosition(Value); }
    void ShowProgress(const TScanProgress& Progress) override {
        FShown->ShowProgress(Progress);
        // A fast machine may be past the middle before the rate is known.
        if (Progress.Rate() > 0 || Progress.Fraction() >= 0.6) Take();
    }
    void Take() {
        if (Taken || WaitWindow() == nullptr) return;
        Taken = true;
        QRect area = frameGeometry().united(WaitWindow()->frameGeometry());
        Shoot("progress.png", area.adjusted(-10, -10, 10, 10));
    }

  private:
    TProgressWindow* FShown = nullptr;
};

std::string Mail(const std::string& From, const std::string& To, const std::string& Subject,
                 const std::string& Date, const std::string& Body) {
    return "Return-Path: <" + From + ">\r\nMessage-ID: <" + std::to_string(Body.size()) + "." +
           std::to_string(Subject.size()) + "@mail.example.com>\r\nDate: " + Date +
           "\r\nFrom: " + From + "\r\nTo: " + To + "\r\nSubject: " + Subject +
           "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + Body;
}

std::string SampleImage() {
    const char* const people[] = {"alice@example.com", "bob@example.org",  "carol@example.net",
                                  "dave@example.com",  "erin@example.org", "frank@example.net",
                                  "grace@example.com", "heidi@example.org"};
    const char* const subjects[] = {"Quarterly budget review",
                                    "Lunch on Friday?",
                                    "Re: Contract draft v3",
                                    "Holiday rota",
                                    "Invoice 2291 attached",
                                    "Fwd: Server maintenance window",
                                    "Minutes of the board meeting",
                                    "Re: Re: Parking permits",
                                    "Flight details",
                                    "Welcome aboard!",
                                    "Invoice 2317 overdue",
                                    "Photos from the weekend"};
    const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // A few hundred messages, so that Item Num runs to three digits.
    std::string image(512 * 40 * 330, '\0');
    std::size_t sector = 40;
    for (int i = 0; i < 320; ++i) {
        const std::string body =
            "Hi " +
            std::string(people[(i + 3) % 8]).substr(0, std::string(people[(i + 3) % 8]).find('@')) +
            ",\r\n\r\nAs discussed, here are the details for \"" + subjects[i % 12] +
            "\". Let me know if anything is missing before Thursday; I have copied the team so "
            "everyone sees the same numbers.\r\n\r\nThe figures for the last quarter are in the "
            "attached sheet, and the invoice references are listed below:\r\n  INV-" +
            std::to_string(2200 + i * 7) + "\r\n  INV-" + std::to_string(2300 + i * 3) +
            "\r\n\r\nBest regards,\r\n" + people[i % 8] + "\r\n";
        const std::string text =
            Mail(people[i % 8], people[(i + 3) % 8], subjects[i % 12],
                 std::to_string(1 + i % 28) + " " + months[(i / 28) % 12] + " 2026 1" +
                     std::to_string(i % 10) + ":2" + std::to_string(i % 6) + ":00 +0100",
                 body);
        image.replace(sector * 512, text.size(), text);
        sector += 20 + (i * 13) % 17;
    }
    // Plenty of sectors after the mail, so the progress window is seen mid-scan.
    const std::string path = (std::filesystem::temp_directory_path() / "pw-sample.img").string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(image.data(), std::streamsize(image.size()));
    std::string noise(1 << 20, '\x01');
    for (int i = 0; i < 2000; ++i)
        out.write(noise.data(), std::streamsize(noise.size()));
    return path;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Parcelwright");
    QApplication::setFont(PwWindowFont());
    OutDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    const std::string image = SampleImage();
    const std::string shown = argc > 2 ? argv[2] : image;

    // First run: no drive the user may read.
    {
        TfrmMain::THooks none;
        none.ListDrives = [] { return TDriveArray{}; };
        TfrmMain first(none);
        first.show();
        QTest::qWait(300);
        Shoot("first-run.png", first.frameGeometry());
    }

    // A folder an earlier export left a file in, for the question before it is replaced.
    const std::filesystem::path exported =
        std::filesystem::temp_directory_path() / "pw-screenshot-export";
    std::filesystem::create_directories(exported);
    std::ofstream(exported / "RecoveredEmail1.eml") << "an earlier export\r\n";
    TfrmMain::THooks hooks;
    hooks.ListDrives = [&] { return TDriveArray{shown, image}; };
    hooks.BrowseFolder = [&](const QString&, const QString&, bool) {
        return QString::fromStdString(exported.string());
    };
    TShotWindow w(hooks);
    w.show();
    QTest::qWait(300);

    // The large sample first, for the progress window; then the image to show.
    w.cbDrives->setCurrentIndex(1);
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    w.cbDrives->setCurrentIndex(0);
    QTest::mouseClick(w.sbScan, Qt::LeftButton);
    QTest::qWait(200);
    // Sorted by date, newest first: the header's arrow shows which column and which way.
    w.lvFoundEmailsColumnClick(TResultColumn::Date);
    const int rows = w.Model()->rowCount();
    const QModelIndex row = w.Model()->index(0, 2);
    QTest::mouseClick(w.lvFoundEmails->viewport(), Qt::LeftButton, {},
                      w.lvFoundEmails->visualRect(row).center());
    for (const int tick : {1, 4, rows - 3})
        if (tick >= 0 && tick < rows) w.Core().SetTicked(std::size_t(tick), true);
    // The end of the list, where the numbers are longest.
    const QModelIndex last = w.Model()->index(rows - 4, 2);
    QTest::mouseClick(w.lvFoundEmails->viewport(), Qt::LeftButton, {},
                      w.lvFoundEmails->visualRect(last).center());
    w.lvFoundEmails->scrollToBottom();
    Shoot("main.png", w.frameGeometry());

    QTimer::singleShot(600, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (dialog != nullptr) {
            Shoot("export-dialog.png", dialog->frameGeometry().united(w.frameGeometry()));
            dialog->close();
        }
    });
    BrowseForFolder("Select Where To Save Recovered Emails", QString(), true, &w);

    // Export Selected into that folder: asked, answered No, nothing written.
    QTimer::singleShot(600, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box != nullptr) {
            Shoot("replace-question.png", box->frameGeometry().united(w.frameGeometry()));
            box->button(QMessageBox::No)->click();
        }
    });
    QTest::mouseClick(w.sbSaveEmail, Qt::LeftButton);
    std::filesystem::remove_all(exported);

    w.txtFilter->setText("invoice");
    w.btnApplyFilterClick();
    w.lvFoundEmailsColumnClick(TResultColumn::Subject);
    Shoot("filtered.png", w.frameGeometry());

    std::filesystem::remove(image);

    // Modern mail: encoded words, quoted-printable, an attachment, HTML only, a copy.
    const std::string mime = (std::filesystem::temp_directory_path() / "pw-mime.img").string();
    std::vector<std::string> texts = MimeSample();
    texts.push_back(Mail("erin@example.org", "=?ISO-8859-1?Q?Ren=E9e_Faure?= <renee@example.fr>",
                         "=?UTF-8?Q?Caf=C3=A9_on_Thursday=3F?=", "Wed, 2 Mar 2022 17:45:00 +0100",
                         "Thursday at ten suits me.\r\n\r\nErin\r\n"));
    // One the mail program marked deleted (Thunderbird's expunged bit), not yet compacted away.
    std::string expunged = Mail("frank@example.org", "bob@example.org", "Old draft",
                                "Thu, 3 Mar 2022 08:15:00 +0100", "Never mind.\r\n");
    expunged.insert(expunged.find("\r\n\r\n") + 2, "X-Mozilla-Status: 0009\r\n");
    texts.push_back(expunged);
    MakeImageOf(mime, texts);
    TfrmMain::THooks readHooks;
    readHooks.ListDrives = [&] { return TDriveArray{mime}; };
    TfrmMain reader(readHooks);
    reader.show();
    QTest::qWait(300);
    QTest::mouseClick(reader.sbScan, Qt::LeftButton);
    QTest::qWait(200);
    const auto click = [&](int Row) {
        const QModelIndex index = reader.Model()->index(Row, 2);
        QTest::mouseClick(reader.lvFoundEmails->viewport(), Qt::LeftButton, {},
                          reader.lvFoundEmails->visualRect(index).center());
    };
    click(0);
    // The tip over a date: the time in UTC and the date as the sender wrote it.
    const QRect dateCell = reader.lvFoundEmails->visualRect(reader.Model()->index(0, 1));
    QHelpEvent help(QEvent::ToolTip, dateCell.center(),
                    reader.lvFoundEmails->viewport()->mapToGlobal(dateCell.center()));
    QApplication::sendEvent(reader.lvFoundEmails->viewport(), &help);
    Shoot("read-decoded.png", reader.frameGeometry());
    QToolTip::hideText();
    QTest::qWait(800); // the tip fades out
    reader.mnuMessageSource->trigger();
    Shoot("read-source.png", reader.frameGeometry());
    reader.mnuMessageSource->trigger();
    click(2);
    Shoot("read-details.png", reader.frameGeometry());
    // The marked message's details, and the View menu that lists only such messages.
    click(static_cast<int>(texts.size()) - 1);
    QTimer::singleShot(300, [&] {
        Shoot("read-deleted.png", reader.frameGeometry());
        reader.View1->hide();
    });
    reader.View1->exec(reader.mapToGlobal(QPoint(60, reader.menuBar()->height())));

    // The decoded text search while it runs: held at its start, photographed, stopped by Esc.
    auto gate = std::make_shared<TWorkGate>();
    reader.Core().SetWorkGate([gate] { gate->Wait(); });
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        TfrmWait* wait = reader.WaitWindow();
        if (wait == nullptr) return;
        watcher.stop();
        Shoot("search-progress.png",
              reader.frameGeometry().united(wait->frameGeometry()).adjusted(-10, -10, 10, 10));
        QTest::keyClick(wait, Qt::Key_Escape);
        gate->Open();
    });
    watcher.start(50);
    reader.chkText->setChecked(true);
    reader.txtFilter->setText("thursday");
    reader.btnApplyFilterClick();
    gate->Open();
    std::filesystem::remove(mime);
    return 0;
}
