#pragma once
#include <QString>
#include <QStringList>
#include <optional>

class QWidget;

namespace castora {

inline constexpr const char* AppTitle = "Castora Player";

// What the question before a playlist import shows.
struct ImportQuestion {
    QString playlistName;
    int added = 0;
    int alreadyKnown = 0;  // in the catalogue or earlier in the playlist
    int unusable = 0;
    QStringList sources;  // the source list as the editor shows it
    int preselected = 0;
};

// The question's text above the source choice.
QString ImportQuestionText(const ImportQuestion& question);

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
    // OK/Cancel with a choice of source: the chosen source code, nothing on Cancel. Those who never
    // import answer Cancel.
    virtual std::optional<int> AskImport(const ImportQuestion&) { return std::nullopt; }
    // Which playlist file to import, which link to import from, which file to export to, which picture or
    // guide file to take; empty on Cancel.
    enum class Choice { ImportFile, ImportUrl, ExportFile, LogoFile, GuideFile };
    virtual QString Choose(Choice) { return {}; }
};

// Real message boxes titled "Castora Player", parented to the given window.
class MessageBoxes : public Messages {
public:
    explicit MessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    bool Ask(const QString& text) override;
    void Inform(const QString& text) override;
    void Error(const QString& text) override;
    std::optional<int> AskImport(const ImportQuestion& question) override;
    QString Choose(Choice choice) override;

private:
    QWidget* parent_;
};

// The default error handler: the message with "." appended when its last character sorts after ".".
QString ErrorText(const QString& message);
void ShowException(Messages& messages, const QString& message);

}  // namespace castora
