#pragma once
#include <QString>

class QWidget;

namespace castora {

inline constexpr const char* AppTitle = "Castora Player";

// Every message box of the program goes through this, so tests can answer without a modal loop.
class Messages {
public:
    virtual ~Messages() = default;
    // Yes/No question; true only for Yes.
    virtual bool Ask(const QString& text) = 0;
    // OK box.
    virtual void Inform(const QString& text) = 0;
    // OK box with the error icon.
    virtual void Error(const QString& text) = 0;
};

// Real message boxes titled "Castora Player", parented to the given window.
class MessageBoxes : public Messages {
public:
    explicit MessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    bool Ask(const QString& text) override;
    void Inform(const QString& text) override;
    void Error(const QString& text) override;

private:
    QWidget* parent_;
};

// The default error handler: the message with "." appended when its last character sorts after ".".
QString ErrorText(const QString& message);
void ShowException(Messages& messages, const QString& message);

} // namespace castora
