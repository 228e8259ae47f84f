#pragma once
#include <QString>
#include <QStringList>
#include <deque>
#include <stdexcept>

#include "pages/Messages.h"

namespace castora::test {

// Answers questions from a script and records every box the program showed.
class ScriptedMessages : public Messages {
public:
    struct Shown {
        enum Kind { Question, Info, Error } kind;
        QString text;
    };

    void Answer(bool yes) { answers_.push_back(yes); }
    // With no scripted answer left a question counts as No, like a closed box.
    bool Ask(const QString& text) override {
        shown.push_back({Shown::Question, text});
        if (answers_.empty()) return false;
        const bool yes = answers_.front();
        answers_.pop_front();
        return yes;
    }
    void Inform(const QString& text) override { shown.push_back({Shown::Info, text}); }
    void Error(const QString& text) override { shown.push_back({Shown::Error, text}); }

    QStringList Texts() const {
        QStringList out;
        for (const Shown& s : shown) out << s.text;
        return out;
    }
    size_t PendingAnswers() const { return answers_.size(); }
    void Clear() { shown.clear(); }

    std::vector<Shown> shown;

private:
    std::deque<bool> answers_;
};

} // namespace castora::test
