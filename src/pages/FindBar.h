#pragma once
#include <QWidget>
#include <string>

class QLabel;
class QLineEdit;
class QToolButton;

namespace castora {

// The find field of the Channels page: the words to look for, how many channels match, and a close
// button. Escape or the button clears the text and hides the bar.
class FindBar : public QWidget {
    Q_OBJECT
public:
    explicit FindBar(QWidget* parent = nullptr);

    QLineEdit* FindEdit;
    QLabel* CountLabel;
    QToolButton* CloseButton;

    // Shows the bar and puts the cursor in the field with any text selected.
    void Open();
    // Clears the field (textChanged("") when it held text), hides the bar and emits closed().
    void Close();
    // "No channels", "1 channel", "1,234 channels"; a negative count (a search still running) shows nothing.
    void SetMatchCount(qint64 count);
    // The field's text in the records' Windows-1251 bytes.
    std::string AnsiText() const;

signals:
    void textChanged(const QString& text);
    void closed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void FitCountLabel();
};

}  // namespace castora
