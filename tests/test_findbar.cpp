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

// The bar in a window that has its own Escape action, as a main window may, and another field.
struct Window {
    QApplication& app = test::EnsureApp();
    QWidget window;
    FindBar* bar = new FindBar(&window);
    QLineEdit* other = new QLineEdit(&window);
    QAction* escape = new QAction(&window);
    int escapes = 0;
    Window() {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(bar);
        layout->addWidget(other);
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
void Type(const QString& text) {
    for (QChar c : text)
        for (auto action : {QTest::Press, QTest::Release})
            QTest::sendKeyEvent(action, QApplication::focusWidget(), Qt::Key(c.toUpper().unicode()), QString(c),
                                Qt::NoModifier);
}

// Pixels that differ from the top-left one: none when nothing is painted.
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

TEST(FindBar, TypingSendsEachTextAndOpeningAgainSelectsIt) {
    Window w;
    QSignalSpy texts(w.bar, &FindBar::textChanged);
    w.bar->Open();
    ASSERT_TRUE(w.bar->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), w.bar->FindEdit);
    EXPECT_EQ(w.bar->FindEdit->accessibleName(), "Find");
    Type(QString::fromUtf8("ra Ра"));
    EXPECT_EQ(Texts(texts), QString::fromUtf8("r|ra|ra |ra Р|ra Ра").split('|'));
    EXPECT_EQ(w.bar->AnsiText(), "ra \xD0\xE0");
    w.bar->Open();
    Type("j");
    EXPECT_EQ(w.bar->FindEdit->text(), "j");
}

TEST(FindBar, ShowsHowManyChannelsMatchInFull) {
    Window w;
    w.bar->Open();
    const struct {
        qint64 count;
        const char* text;
    } cases[] = {{0, "No channels"}, {1, "1 channel"}, {1234567, "1,234,567 channels"}, {-1, ""}};
    for (int points : {0, 14}) {  // a larger font widens the label with it
        if (points) {
            QFont font = w.window.font();
            font.setPointSize(points);
            w.window.setFont(font);
            QApplication::processEvents();
        }
        for (const auto& c : cases) {
            w.bar->SetMatchCount(c.count);
            EXPECT_EQ(w.bar->CountLabel->text(), c.text);
            EXPECT_EQ(InkedPixels(w.bar->CountLabel) > 0, c.count >= 0) << c.count;
            EXPECT_GE(w.bar->CountLabel->contentsRect().width(),
                      w.bar->CountLabel->fontMetrics().horizontalAdvance(c.text))
                << points;
        }
    }
}

TEST(FindBar, EscapeOrCloseButtonClearsAndHides) {
    for (bool button : {false, true}) {
        Window w;
        w.bar->Open();
        Type("blue");
        w.bar->SetMatchCount(3);
        QSignalSpy texts(w.bar, &FindBar::textChanged);
        QSignalSpy closed(w.bar, &FindBar::closed);
        if (button) QTest::mouseClick(w.bar->CloseButton, Qt::LeftButton);
        else QTest::keyClick(w.bar->FindEdit, Qt::Key_Escape);
        EXPECT_FALSE(w.bar->isVisible()) << button;
        EXPECT_EQ(w.bar->FindEdit->text(), "");
        EXPECT_EQ(w.bar->CountLabel->text(), "");
        EXPECT_EQ(Texts(texts), QStringList{""});
        EXPECT_EQ(closed.count(), 1);
        EXPECT_EQ(w.escapes, 0) << "the window's Escape action took the bar's Escape";
        QTest::keyClick(w.other, Qt::Key_Escape);  // elsewhere it still works
        EXPECT_EQ(w.escapes, 1);
    }
}
