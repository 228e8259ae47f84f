#include "pages/GuideDialogs.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "catalogue/GuideTime.h"
#include "pages/Messages.h"
#include "server/GuideRefresh.h"

namespace castora {

namespace {

// A label and the field it names, the field's accessible name being the label's text without its colon.
QLineEdit* LabelledEdit(const QString& label, QBoxLayout* into, QWidget* parent) {
    auto* row = new QHBoxLayout();
    auto* text = new QLabel(label, parent);
    auto* edit = new QLineEdit(parent);
    text->setBuddy(edit);
    QString name = label;
    name.remove('&');
    if (name.endsWith(':')) name.chop(1);
    edit->setAccessibleName(name);
    row->addWidget(text);
    row->addWidget(edit, 1);
    into->addLayout(row);
    return edit;
}

QPushButton* Button(const QString& text, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setAccessibleName(text);
    b->setAutoDefault(false);
    return b;
}

QString DayAndClock(int64_t t) { return QDateTime::fromSecsSinceEpoch(t).toString(QStringLiteral("ddd d MMM HH:mm")); }

}  // namespace

std::optional<int32_t> ShiftFromHours(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty()) return 0;
    return ParseTvgShift(t.toStdString());
}

QString LocalClock(int64_t t) { return QDateTime::fromSecsSinceEpoch(t).toString(QStringLiteral("HH:mm")); }

// ---------------------------------------------------------------------------------------------- programmes

ProgrammesDialog::ProgrammesDialog(const QString& channelName, std::vector<ProgrammeRow> rows, int64_t now,
                                   QWidget* parent)
    : QDialog(parent), rows_(std::move(rows)) {
    setObjectName("ProgrammesDialog");
    setWindowTitle(QStringLiteral("Guide: ") + channelName);
    setAccessibleName(windowTitle());
    setWindowModality(Qt::WindowModal);
    resize(480, 420);
    auto* layout = new QVBoxLayout(this);

    table_ = new QTableWidget(static_cast<int>(rows_.size()), 2, this);
    table_->setObjectName("Programmes");
    table_->setAccessibleName(QStringLiteral("Programmes"));
    table_->setHorizontalHeaderLabels({QStringLiteral("Time"), QStringLiteral("Programme")});
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setWordWrap(false);
    table_->setColumnWidth(0, 130);
    for (size_t i = 0; i < rows_.size(); ++i) {
        const ProgrammeRow& p = rows_[i];
        const bool onAir = p.start <= now && now < p.stop;
        QString title = p.title;
        if (!p.subTitle.isEmpty()) title += QStringLiteral(": ") + p.subTitle;
        // Marked in words as well as in bold, for those who hear the table.
        if (onAir) title = QStringLiteral("\u25B6 Now: ") + title;
        auto* time = new QTableWidgetItem(DayAndClock(p.start));
        auto* name = new QTableWidgetItem(title);
        if (onAir) {
            onAir_ = static_cast<int>(i);
            QFont bold = name->font();
            bold.setBold(true);
            time->setFont(bold);
            name->setFont(bold);
        }
        table_->setItem(static_cast<int>(i), 0, time);
        table_->setItem(static_cast<int>(i), 1, name);
    }
    layout->addWidget(table_, 1);

    description_ = new QPlainTextEdit(this);
    description_->setObjectName("Description");
    description_->setAccessibleName(QStringLiteral("Description"));
    description_->setReadOnly(true);
    description_->setFixedHeight(120);
    layout->addWidget(description_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setAccessibleName(QStringLiteral("Close"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    connect(table_, &QTableWidget::currentCellChanged, this, [this](int row) { ShowDescription(row); });
    // Opens on the programme on air, else on the first one still to come.
    int first = onAir_;
    if (first < 0) {
        const auto next =
            std::find_if(rows_.begin(), rows_.end(), [now](const ProgrammeRow& p) { return p.start > now; });
        first = next == rows_.end() ? static_cast<int>(rows_.size()) - 1 : static_cast<int>(next - rows_.begin());
    }
    if (first >= 0) {
        table_->setCurrentCell(first, 1);
        table_->scrollToItem(table_->item(first, 1), QAbstractItemView::PositionAtCenter);
    }
}

void ProgrammesDialog::ShowDescription(int row) {
    if (row < 0 || row >= static_cast<int>(rows_.size())) {
        description_->clear();
        return;
    }
    const ProgrammeRow& p = rows_[static_cast<size_t>(row)];
    QStringList lines;
    lines << DayAndClock(p.start) + QStringLiteral(" \u2013 ") + LocalClock(p.stop) + QStringLiteral("  ") + p.title;
    QStringList about;
    for (const QString& s : {p.subTitle, p.episode, p.category})
        if (!s.isEmpty()) about << s;
    if (!about.isEmpty()) lines << about.join(QStringLiteral(" \u00B7 "));
    if (!p.desc.isEmpty()) lines << QString() << p.desc;
    description_->setPlainText(lines.join('\n'));
}

// ------------------------------------------------------------------------------------------------ match

GuideMatchDialog::GuideMatchDialog(const QString& channelName, std::vector<GuideChannelChoice> channels,
                                   const QString& currentId, const QString& shiftHours, Messages& messages,
                                   QWidget* parent)
    : QDialog(parent), channels_(std::move(channels)), messages_(messages) {
    setObjectName("GuideMatchDialog");
    setWindowTitle(QStringLiteral("Match guide channel: ") + channelName);
    setAccessibleName(windowTitle());
    setWindowModality(Qt::WindowModal);
    resize(400, 420);
    std::sort(channels_.begin(), channels_.end(), [](const GuideChannelChoice& a, const GuideChannelChoice& b) {
        const int c = a.name.compare(b.name, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a.id < b.id;
    });
    auto* layout = new QVBoxLayout(this);
    find_ = LabelledEdit(QStringLiteral("Find:"), layout, this);
    auto* listLabel = new QLabel(QStringLiteral("Guide channel:"), this);
    layout->addWidget(listLabel);
    list_ = new QListWidget(this);
    list_->setAccessibleName(QStringLiteral("Guide channel"));
    listLabel->setBuddy(list_);
    for (const GuideChannelChoice& c : channels_) {
        auto* item = new QListWidgetItem(c.name == c.id ? c.name : c.name + QStringLiteral(" (") + c.id + ')', list_);
        item->setData(Qt::UserRole, c.id);
        if (c.id == currentId) list_->setCurrentItem(item);
    }
    layout->addWidget(list_, 1);
    shift_ = LabelledEdit(QStringLiteral("Shift (hours):"), layout, this);
    shift_->setText(shiftHours);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    ok_->setAccessibleName(ok_->text());
    buttons->button(QDialogButtonBox::Cancel)->setAccessibleName(buttons->button(QDialogButtonBox::Cancel)->text());
    clear_ = Button(QStringLiteral("Clear match"), this);
    buttons->addButton(clear_, QDialogButtonBox::ResetRole);
    layout->addWidget(buttons);
    connect(find_, &QLineEdit::textChanged, this, &GuideMatchDialog::Filter);
    connect(buttons, &QDialogButtonBox::accepted, this, &GuideMatchDialog::Accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(clear_, &QPushButton::clicked, this, [this] {
        emit matchChosen(QString(), QString());
        accept();
    });
    connect(list_, &QListWidget::itemDoubleClicked, this, &GuideMatchDialog::Accept);
}

void GuideMatchDialog::Filter(const QString& text) {
    const QString t = text.trimmed();
    for (int i = 0; i < list_->count(); ++i) {
        QListWidgetItem* item = list_->item(i);
        item->setHidden(!t.isEmpty() && !item->text().contains(t, Qt::CaseInsensitive));
    }
}

void GuideMatchDialog::Accept() {
    if (!ShiftFromHours(shift_->text())) {
        messages_.Error(QStringLiteral("The shift \"%1\" is not a number of hours.").arg(shift_->text().trimmed()));
        return;
    }
    QListWidgetItem* item = list_->currentItem();
    if (!item || item->isHidden()) {
        messages_.Error(QStringLiteral("Choose a guide channel, or \"Clear match\"."));
        return;
    }
    emit matchChosen(item->data(Qt::UserRole).toString(), shift_->text().trimmed());
    accept();
}

// ---------------------------------------------------------------------------------------------- sources

GuideSourcesDialog::GuideSourcesDialog(const QStringList& sources, const QStringList& states, const QString& shiftHours,
                                       Messages& messages, QWidget* parent)
    : QDialog(parent), messages_(messages) {
    setObjectName("GuideSourcesDialog");
    setWindowTitle(QStringLiteral("Guide sources"));
    setAccessibleName(windowTitle());
    setWindowModality(Qt::WindowModal);
    resize(460, 360);
    auto* layout = new QVBoxLayout(this);
    auto* listLabel = new QLabel(QStringLiteral("Guides, the first one first:"), this);
    layout->addWidget(listLabel);
    list_ = new QListWidget(this);
    list_->setAccessibleName(QStringLiteral("Guides, the first one first"));
    listLabel->setBuddy(list_);
    for (int i = 0; i < sources.size(); ++i) {
        auto* item = new QListWidgetItem(sources[i], list_);
        if (i < states.size() && !states[i].isEmpty()) item->setToolTip(states[i]);
    }
    layout->addWidget(list_, 1);

    location_ = LabelledEdit(QStringLiteral("Address or file:"), layout, this);
    auto* row = new QHBoxLayout();
    add_ = Button(QStringLiteral("Add"), this);
    addFile_ = Button(QStringLiteral("Add file\u2026"), this);
    remove_ = Button(QStringLiteral("Remove"), this);
    row->addWidget(add_);
    row->addWidget(addFile_);
    row->addStretch(1);
    row->addWidget(remove_);
    layout->addLayout(row);
    shift_ = LabelledEdit(QStringLiteral("Shift of the whole guide (hours):"), layout, this);
    shift_->setText(shiftHours);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    ok_->setAccessibleName(ok_->text());
    buttons->button(QDialogButtonBox::Cancel)->setAccessibleName(buttons->button(QDialogButtonBox::Cancel)->text());
    layout->addWidget(buttons);

    connect(add_, &QPushButton::clicked, this, [this] {
        if (Add(location_->text())) location_->clear();
    });
    connect(location_, &QLineEdit::returnPressed, add_, &QPushButton::click);
    connect(addFile_, &QPushButton::clicked, this, [this] {
        const QString file = messages_.Choose(Messages::Choice::GuideFile);
        if (!file.isEmpty()) Add(file);
    });
    connect(remove_, &QPushButton::clicked, this, [this] { delete list_->currentItem(); });
    connect(buttons, &QDialogButtonBox::accepted, this, &GuideSourcesDialog::Accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

QStringList GuideSourcesDialog::Sources() const {
    QStringList out;
    for (int i = 0; i < list_->count(); ++i) out << list_->item(i)->text();
    return out;
}

bool GuideSourcesDialog::Add(const QString& typed) {
    QString location = typed.trimmed();
    if (location.isEmpty()) return false;
    if (!IsGuideAddress(location.toStdString())) {
        const QFileInfo file(location.startsWith(QStringLiteral("file://")) ? QUrl(location).toLocalFile() : location);
        if (!file.isFile()) {
            messages_.Error(QStringLiteral("\"%1\" is neither a guide's web address nor a guide file.").arg(location));
            return false;
        }
        location = file.absoluteFilePath();
    }
    if (!Sources().contains(location)) new QListWidgetItem(location, list_);
    return true;
}

void GuideSourcesDialog::Accept() {
    if (!ShiftFromHours(shift_->text())) {
        messages_.Error(QStringLiteral("The shift \"%1\" is not a number of hours.").arg(shift_->text().trimmed()));
        return;
    }
    // An address typed but not added yet is meant to be added.
    if (!location_->text().trimmed().isEmpty()) {
        if (!Add(location_->text())) return;
        location_->clear();
    }
    emit sourcesChosen(Sources(), shift_->text().trimmed());
    accept();
}

}  // namespace castora
