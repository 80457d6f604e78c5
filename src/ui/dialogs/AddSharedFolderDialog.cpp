#include "AddSharedFolderDialog.h"

#include "server/ServerSchema.h"
#include "shares/SharesSchema.h"
#include "shell/DisplayText.h"
#include "shell/ModalDialogs.h"
#include "store/Data.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace {

constexpr int kPathFieldChars = 48;
// The field's frame and padding around the text.
constexpr int kPathMargin = 16;

} // namespace

AddSharedFolderDialog::AddSharedFolderDialog(QWidget* parent)
    : QDialog(parent), selectedFolderEdit(new QLineEdit),
      everyoneCheckBox(new QCheckBox(QStringLiteral("Folder accessible to everyone"))),
      userListCheckBox(new QCheckBox(QStringLiteral("Folder accessible to all user list users"))),
      groupsListWidget(new QListWidget)
{
    setObjectName(QStringLiteral("AddSharedFolderDialog"));
    setWindowTitle(QStringLiteral("Add Shared Folder"));
    setAttribute(Qt::WA_DeleteOnClose);
    selectedFolderEdit->setObjectName(QStringLiteral("selectedFolderEdit"));
    selectedFolderEdit->setReadOnly(true);
    selectedFolderEdit->setPlaceholderText(QStringLiteral("No folder selected"));
    // Room for a path some folders deep.
    selectedFolderEdit->setMinimumWidth(selectedFolderEdit->fontMetrics().averageCharWidth() *
                                        kPathFieldChars);
    everyoneCheckBox->setObjectName(QStringLiteral("everyoneCheckBox"));
    everyoneCheckBox->setChecked(true);
    userListCheckBox->setObjectName(QStringLiteral("userListCheckBox"));
    userListCheckBox->setChecked(true);
    userListCheckBox->setEnabled(false);
    groupsListWidget->setObjectName(QStringLiteral("groupsListWidget"));
    groupsListWidget->setEnabled(false);
    groupsListWidget->setSortingEnabled(true);

    auto* select = new QPushButton(QStringLiteral("Select &Folder"));
    select->setObjectName(QStringLiteral("pushButton"));
    auto* row = new QHBoxLayout;
    row->addWidget(select);
    row->addWidget(selectedFolderEdit);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(everyoneCheckBox);
    layout->addWidget(userListCheckBox);
    layout->addWidget(
        new QLabel(QStringLiteral("Folder accessible to specific user list groups:")));
    layout->addWidget(groupsListWidget);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &AddSharedFolderDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(select, &QPushButton::clicked, this, &AddSharedFolderDialog::OnSelectFolderClicked);
    connect(everyoneCheckBox, &QCheckBox::stateChanged, this,
            &AddSharedFolderDialog::OnAccessibleToEveryoneCheckStateChanged);
    connect(userListCheckBox, &QCheckBox::stateChanged, this,
            &AddSharedFolderDialog::OnAccessibleToUserListCheckStateChanged);

    for (Item* group : d.GetType(ServerTypes::UserListGroup)->GetItems()) {
        auto* groupRow = new QListWidgetItem(Shown(group));
        groupRow->setFlags(groupRow->flags() | Qt::ItemIsUserCheckable);
        groupRow->setCheckState(Qt::Unchecked);
        groupsListWidget->addItem(groupRow);
    }
}

void AddSharedFolderDialog::OnSelectFolderClicked()
{
    const QString folder =
        ModalDialogs::Current().ChooseFolder(this, QStringLiteral("Select Folder to Share"));
    if (folder.isEmpty())
        return;
    selectedFolderEdit->setText(folder);
    // The field grows with the path, up to a part of the screen; a path longer still reads from
    // its start, as the user walked to it.
    const int wanted = selectedFolderEdit->fontMetrics().horizontalAdvance(folder) + kPathMargin;
    const int most = screen()->availableGeometry().width() * 2 / 3;
    if (wanted > selectedFolderEdit->minimumWidth())
        selectedFolderEdit->setMinimumWidth(qMin(wanted, most));
    selectedFolderEdit->setCursorPosition(0);
}

void AddSharedFolderDialog::OnAccessibleToEveryoneCheckStateChanged(int state)
{
    if (state == Qt::Checked) {
        userListCheckBox->setEnabled(false);
        userListCheckBox->setChecked(true);
        groupsListWidget->setEnabled(false);
    } else if (state == Qt::Unchecked) {
        userListCheckBox->setEnabled(true);
        groupsListWidget->setEnabled(!userListCheckBox->isChecked());
    }
}

void AddSharedFolderDialog::OnAccessibleToUserListCheckStateChanged(int state)
{
    if (state == Qt::Checked)
        groupsListWidget->setEnabled(false);
    else if (state == Qt::Unchecked)
        groupsListWidget->setEnabled(true);
}

void AddSharedFolderDialog::accept()
{
    const QString path = selectedFolderEdit->text();
    if (path.isEmpty())
        return;
    // Made first: its appearance has the shared-folder manager scan the folder, which is applied
    // to the store after this returns, with the access chosen below already in place.
    Type* folders = d.GetType(SharesTypes::SharedFolder);
    ItemPtr folder = folders->GetItem(Value(StoredBytes(folders, path)));
    if (everyoneCheckBox->isChecked()) {
        folder.NewItem(SharesTypes::SharedPublic);
    } else if (userListCheckBox->isChecked()) {
        folder.NewItem(SharesTypes::SharedUserlist);
    } else {
        Type* groups = d.GetType(ServerTypes::UserListGroup);
        for (int i = 0; i < groupsListWidget->count(); ++i) {
            QListWidgetItem* row = groupsListWidget->item(i);
            if (row->checkState() == Qt::Checked)
                folder += groups->GetItem(Value(StoredBytes(groups, row->text())));
        }
    }
    QDialog::accept();
}
