// The kinds of the store's values in the running window: every type it declares says what its
// values are, and the values a busy session leaves in the store are of the kind their type says
// (the window shows them, and stores what a user types, by that kind).

#include "shell/MainWindowClient.h"

#include "RoomMessages.h"
#include "peer/PeerMessenger.h"
#include "peer/PeerSchema.h"
#include "server/ServerStore.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ShellTypes.h"
#include "store/Clock.h"
#include "store/DelayedInvoker.h"
#include "support/PeerBodies.h"
#include "support/PeerDial.h"
#include "ui/search/SearchForm.h"
#include "ui/search/SearchResultsForm.h"
#include "ui/search/SharesForm.h"
#include "ui/transfers/TransfersPage.h"

#include <QLineEdit>
#include <QTabWidget>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

const char* KindName(ValueKind kind)
{
    switch (kind) {
    case ValueKind::Unset:
        return "unset";
    case ValueKind::None:
        return "none";
    case ValueKind::Name:
        return "name";
    case ValueKind::Utf8:
        return "UTF-8 text";
    case ValueKind::Path:
        return "path";
    case ValueKind::Number:
        return "number";
    case ValueKind::Time:
        return "time";
    case ValueKind::Word:
        return "word";
    case ValueKind::Address:
        return "address";
    case ValueKind::ByKey:
        return "by key";
    }
    return "?";
}

bool AllDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether a value is one a type of that kind holds. Names and values by key may be any bytes.
bool Fits(ValueKind kind, std::string_view value)
{
    switch (kind) {
    case ValueKind::Unset:
        return false;
    case ValueKind::None:
        return value.empty();
    case ValueKind::Number:
        return AllDigits(value.substr(!value.empty() && value[0] == '-' ? 1 : 0));
    case ValueKind::Address:
        return AllDigits(value) && value != "0";
    case ValueKind::Time:
        return Clock::FromText(QString::fromLatin1(value.data(), qsizetype(value.size())))
            .isValid();
    case ValueKind::Word:
        return std::all_of(value.begin(), value.end(),
                           [](char c) { return c >= 0x20 && c < 0x7f; });
    case ValueKind::Utf8:
    case ValueKind::Path: {
        // Every text this session sends is well-formed UTF-8, so it comes back byte for byte.
        const QByteArray bytes(value.data(), qsizetype(value.size()));
        return QString::fromUtf8(bytes).toUtf8() == bytes;
    }
    case ValueKind::Name:
    case ValueKind::ByKey:
        return true;
    }
    return false;
}

void TypeSearch(Client& client, const QString& text)
{
    client.Child<QLineEdit>("searchEdit")->setText(text);
    Q_EMIT client.Child<QLineEdit>("searchEdit")->returnPressed();
}

} // namespace

class tst_ValueKinds : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void busySessionHoldsValuesOfTheirKinds();
};

void tst_ValueKinds::busySessionHoldsValuesOfTheirKinds()
{
    Client client("alice");
    client.Start();
    client.LogIn();

    // A room of users with Latin-1 names, figures and countries.
    const QList<RoomUser> people{{"J\xe9r\xf4me", 51200, 340, "FR"},
                                 {"Zo\xeb & co", 0, 12, "NZ"},
                                 {"bob", 128000, 2100, "US"}};
    QVERIFY(client.Deliver(RoomEnteredReply("Caf\xc3\xa9 \xe2\x98\x95", people)));

    // A search with related searches and answers from three peers, two of them downloaded.
    client.Child<QTabWidget>("tabControl")->setCurrentWidget(client.Child("searchTab"));
    TypeSearch(client, QString::fromUtf8("Bj\xc3\xb6rk homogenic"));
    QVERIFY(client.Deliver(WireWriter()
                               .u32(153)
                               .str("Bj\xc3\xb6rk homogenic")
                               .u32(2)
                               .str("bj\xc3\xb6rk")
                               .u32(90)
                               .str("homogenic")
                               .u32(55)));
    auto* tabs = searchForm->findChild<QTabWidget*>("searchTabControl");
    auto* tab = qobject_cast<SearchResultsForm*>(tabs->currentWidget());
    QVERIFY(tab);
    const QList<QByteArray> peerNames{"bj\xf6rk_fan", "edith", "hikaru"};
    std::vector<std::unique_ptr<FakePeer>> peers;
    ShareMaker maker(45);
    for (const QByteArray& name : peerNames) {
        peers.push_back(DialMessaging(*peerMessenger, false, name));
        QVERIFY(peers.back());
        peers.back()->SendFrame(maker.SearchReply(name, 1, 4));
    }
    QTRY_COMPARE_WITH_TIMEOUT(d.GetType(PeerTypes::SearchResults)->ItemCount(), size_t(3), kWaitMs);
    delayedInvoker->FirePendingNow();
    delayedInvoker->FirePendingNow();
    QList<QTreeWidgetItem*> files;
    for (QTreeWidgetItemIterator it(tab->searchResults()); *it; ++it) {
        if ((*it)->childCount() == 0)
            files << *it;
    }
    QVERIFY(files.size() >= 2);
    Q_EMIT tab->searchResults()->itemDoubleClicked(files[0], 0);
    Q_EMIT tab->searchResults()->itemDoubleClicked(files[1], 0);

    // A wish, a note, a browsed share and downloads in every state, one of them running.
    d.GetType(ShellTypes::WishListItem)
        ->GetItem(Value("Sigur R\xc3\xb3s live"))
        .NewItem(ShellTypes::WishListItemEnabled);
    ServerStore::User("bob") +=
        d.GetType(ShellTypes::UserNote)->GetItem(Value("lends CDs \xe2\x80\x94 ask"));
    sharesForm->OpenShareBrowse("edith");
    sharedFoldersManager->OnUserShare("edith", maker.Share(30), AttributeTranslationTable());
    const char* const statuses[] = {"queued", "downloading", "complete", "aborted", "local error"};
    for (const char* status : statuses) {
        ItemPtr entry = TransfersPage::Download("J\xe9r\xf4me", "Music\\Bj\xc3\xb6rk",
                                                (std::string(status) + " \xc3\xa9.mp3").c_str());
        TransfersPage::SetStatus(entry, status);
        if (std::string(status) == "downloading")
            TransfersPage::Report(entry, 400, 12000);
    }
    transferQueueManager->OnUploadDeniedNotification("bob", "Shared\\Soul & Funk\\01 - Track.mp3",
                                                     "File not shared.");

    std::map<ValueKind, size_t> checked;
    for (Type* type : d.GetTypes()) {
        const ValueKind kind = type->GetKind();
        QVERIFY2(kind != ValueKind::Unset, type->GetName().c_str());
        QVERIFY2(type->IsNull() == (kind == ValueKind::None), type->GetName().c_str());
        for (Item* item : type->GetItems()) {
            const std::string value = item->AsString();
            const QByteArray what =
                QByteArray::fromStdString(type->GetName() + " holds \"" + value + "\", not a ") +
                KindName(kind);
            QVERIFY2(Fits(kind, value), what.constData());
            ++checked[kind];
        }
    }
    // The session reached every kind, so that each rule above was put to work.
    for (ValueKind kind :
         {ValueKind::None, ValueKind::Name, ValueKind::Utf8, ValueKind::Path, ValueKind::Number,
          ValueKind::Time, ValueKind::Word, ValueKind::Address, ValueKind::ByKey})
        QVERIFY2(checked[kind] > 0, KindName(kind));
}

QTEST_MAIN(tst_ValueKinds)
#include "tst_valuekinds.moc"
