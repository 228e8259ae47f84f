#pragma once
#include <QString>
#include <QStringList>
#include <deque>
#include <optional>
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
    // Files and links chosen in turn; with none left the choice counts as Cancel.
    void AnswerChoice(QString answer) { choices_.push_back(std::move(answer)); }
    QString Choose(Choice) override {
        if (choices_.empty()) return {};
        QString answer = choices_.front();
        choices_.pop_front();
        return answer;
    }
    void Error(const QString& text) override { shown.push_back({Shown::Error, text}); }
    // Import questions take their answers from their own script; with none left they count as Cancel.
    void AnswerImport(std::optional<int> source) { importAnswers_.push_back(source); }
    std::optional<int> AskImport(const ImportQuestion& question) override {
        shown.push_back({Shown::Question, ImportQuestionText(question)});
        importQuestions.push_back(question);
        if (importAnswers_.empty()) return std::nullopt;
        const std::optional<int> answer = importAnswers_.front();
        importAnswers_.pop_front();
        return answer;
    }

    QStringList Texts() const {
        QStringList out;
        for (const Shown& s : shown) out << s.text;
        return out;
    }
    size_t PendingAnswers() const { return answers_.size(); }
    void Clear() { shown.clear(); }

    std::vector<Shown> shown;
    std::vector<ImportQuestion> importQuestions;

private:
    std::deque<bool> answers_;
    std::deque<QString> choices_;
    std::deque<std::optional<int>> importAnswers_;
};

}  // namespace castora::test
