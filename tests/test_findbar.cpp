// The find bar on the offscreen platform: what typing sends out, the count it shows, and Escape.
#include <gtest/gtest.h>

#include <QAction>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include "pages/FindBar.h"
#include "support/QtApp.h"

using namespace castora;

namespace {

// The bar in a window that has its own Escape action, as a main window may.
struct Window {
    QApplication& app = test::EnsureApp();
    QWidget window;
    FindBar* bar = new FindBar(&window);
    QAction* escape = new QAction(&window);
    int escapes = 0;
    Window() {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(bar);
        layout->addWidget(new QLineEdit(&window));
        escape->setShortcut(Qt::Key_Escape);
        window.addAction(escape);
        QObject::connect(escape, &QAction::triggered, [this] { ++escapes; });
        bar->hide();
        window.resize(497, 80);
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
    }
};

// Key clicks carrying any character, as a keyboard layout delivers them (keyClicks takes ASCII only).
void Type(QWidget* widget, const QString& text) {
    for (QChar c : text) {
        const auto key = static_cast<Qt::Key>(c.toUpper().unicode());
        QTest::sendKeyEvent(QTest::Press, widget, key, QString(c), Qt::NoModifier);
        QTest::sendKeyEvent(QTest::Release, widget, key, QString(c), Qt::NoModifier);
    }
}

// Pixels of the widget that differ from its top-left corner: zero when nothing is painted on it.
int InkedPixels(QWidget* widget) {
    const QImage image = widget->grab().toImage();
    int inked = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) inked += image.pixel(x, y) != image.pixel(0, 0);
    return inked;
}

QStringList Texts(const QSignalSpy& spy) {
    QStringList out;
    for (const auto& args : spy) out << args.at(0).toString();
    return out;
}

}  // namespace

TEST(FindBar, OpensFocusedAndSendsEachKeystroke) {
    Window w;
    QSignalSpy texts(w.bar, &FindBar::textChanged);
    w.bar->Open();
    ASSERT_TRUE(w.bar->isVisible());
    EXPECT_TRUE(w.bar->FindEdit->hasFocus());
    EXPECT_EQ(w.bar->FindEdit->accessibleName(), "Find");
    Type(QApplication::focusWidget(), QString::fromUtf8("rad Рад"));
    EXPECT_EQ(Texts(texts), (QStringList{"r", "ra", "rad", "rad ", QString::fromUtf8("rad Р"),
                                         QString::fromUtf8("rad Ра"), QString::fromUtf8("rad Рад")}));
    EXPECT_EQ(w.bar->AnsiText(), "rad \xD0\xE0\xE4");
    // Opening again keeps the words and selects them, so typing replaces them.
    w.bar->Open();
    QTest::keyClicks(QApplication::focusWidget(), "j");
    EXPECT_EQ(w.bar->FindEdit->text(), "j");
}

TEST(FindBar, ShowsHowManyChannelsMatch) {
    Window w;
    w.bar->Open();
    const struct {
        qint64 count;
        const char* text;
    } cases[] = {{0, "No channels"}, {1, "1 channel"}, {2, "2 channels"}, {1234567, "1,234,567 channels"}, {-1, ""}};
    for (const auto& c : cases) {
        w.bar->SetMatchCount(c.count);
        EXPECT_EQ(w.bar->CountLabel->text(), c.text);
        EXPECT_EQ(InkedPixels(w.bar->CountLabel) > 0, c.count >= 0) << c.count;
    }
    // A million-channel count is painted whole, also in a larger font.
    for (int points : {0, 14}) {
        if (points) {
            QFont font = w.window.font();
            font.setPointSize(points);
            w.window.setFont(font);
            w.window.resize(600, 80);
            QApplication::processEvents();
        }
        w.bar->SetMatchCount(1000000);
        EXPECT_GE(w.bar->CountLabel->contentsRect().width(),
                  w.bar->CountLabel->fontMetrics().horizontalAdvance(w.bar->CountLabel->text()))
            << points;
    }
}

TEST(FindBar, EscapeOrCloseClearsAndHides) {
    for (bool button : {false, true}) {
        Window w;
        w.bar->Open();
        QTest::keyClicks(w.bar->FindEdit, "blue");
        w.bar->SetMatchCount(3);
        QSignalSpy texts(w.bar, &FindBar::textChanged);
        QSignalSpy closed(w.bar, &FindBar::closed);
        if (button) QTest::mouseClick(w.bar->CloseButton, Qt::LeftButton);
        else QTest::keyClick(w.bar->FindEdit, Qt::Key_Escape);
        EXPECT_FALSE(w.bar->isVisible()) << button;
        EXPECT_TRUE(w.bar->FindEdit->text().isEmpty());
        EXPECT_TRUE(w.bar->CountLabel->text().isEmpty());
        EXPECT_EQ(Texts(texts), QStringList{""});
        EXPECT_EQ(closed.count(), 1);
        EXPECT_EQ(w.escapes, 0) << "the window's own Escape action must not fire";
        // Escape elsewhere in the window still reaches the window's action.
        QTest::keyClick(w.window.findChildren<QLineEdit*>().last(), Qt::Key_Escape);
        EXPECT_EQ(w.escapes, 1);
    }
}
