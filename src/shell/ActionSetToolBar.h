#pragma once

#include "shell/ShellServices.h"
#include "store/Data.h"

#include <QPointer>
#include <QString>
#include <QToolBar>

#include <string>

class QPushButton;
class QTreeWidget;

// The main window's context tool bar. Forms register their widgets under the name of an action
// set; whenever the focus moves, the bar shows the set of the nearest registered widget around
// the focus (the focused widget itself counts), followed by the support group: a blank action, a
// spacer and the support button. A click is broadcast as ActionTriggered with the registered
// widget and the action's identifier; listeners act on their own identifiers and read the keys
// (the room, the user, ...) through GetKey.
//
// The registry lives in the store, in types that are never saved; a widget is named there by
// its address. When a registered widget is destroyed its registration, keys, texts and hidden
// markers go with it, so that a later widget at the same address starts clean.
class ActionSetToolBar : public QToolBar
{
    Q_OBJECT

public:
    explicit ActionSetToolBar(QWidget* parent = nullptr);
    ~ActionSetToolBar() override;

    // Follows the server's privileges replies. The server connection must exist.
    void Init();

    // Texts are shown as they are given; icon is a resource path. An identifier names one
    // action of one set: one that an action has already raises std::logic_error.
    void AddSetAction(const std::string& setName, const std::string& id, const std::string& text,
                      const std::string& icon, bool needsListSelection);
    // Takes effect at the next focus change. Registering again moves the widget to the new set.
    void RegisterWidget(QWidget* widget, const QString& setName);
    // Each click or focus change through the widget gives the key that value: text (kept as
    // UTF-8), or the bytes of a name as stored.
    void AddWidgetKey(QWidget* widget, const QString& key, const QString& value);
    void AddWidgetKeyBytes(QWidget* widget, const QString& key, const std::string& value);
    // Each click gives the key the text of that column of the first selected row of the tree
    // on the focus path.
    void AddWidgetColumnKey(QWidget* widget, const QString& key, int column);
    // Each click gives the key the value of what the first selected row of the tree on the
    // focus path stands for: the item of tiedType connected to the row's tie item of tieType
    // (Ties), as stored. A name goes back to the server as it came, whatever its cell shows.
    void AddWidgetTieKey(QWidget* widget, const QString& key, const char* tieType,
                         const char* tiedType);
    // The value the key last received, whichever widget gave it; empty if it never got one: as
    // text (the bytes read as UTF-8), and as the bytes kept, which is how a name goes back.
    QString GetKey(const QString& key) const;
    std::string GetKeyBytes(const QString& key) const;
    void SetWidgetActionText(QWidget* widget, const QString& id, const QString& text);
    void SetWidgetActionHidden(QWidget* widget, const QString& id, bool hidden);

    // Shows the set's actions for the widget, then the support group; nothing happens when the
    // widget and set are those already shown.
    void ChangeSet(QWidget* widget, const char* setName);
    // Empties the bar and forgets the set, so that the next ChangeSet rebuilds whatever it gets.
    void Clear();
    void ClearAndDeleteActions();
    void AddSupportQuorvaleButton();

    // The support button's text for that many seconds of privileges left.
    static QString SupportText(qint64 secondsLeft);

Q_SIGNALS:
    void ActionTriggered(QWidget* widget, std::string id);

public Q_SLOTS:
    void OnApplicationFocusChanged(QWidget* old, QWidget* now);
    void OnActionTriggered(bool checked);
    void OnWidgetDestroyed(QObject* object);
    void OnSupportQuorvaleButtonClicked();
    void OnReceivedOwnPrivilegesStatus(int secondsLeft);

private:
    ItemPtr Registration(const QWidget* widget) const;
    ItemPtr Identifier(const QString& id) const;
    // Sets the key's current value.
    void SetActiveKey(const std::string& key, const std::string& value);
    // The bar's live actions made from templates of that identifier.
    QList<QAction*> LiveActions(ItemPtr id) const;
    // Removes a destroyed widget's registration and everything only it used.
    void ForgetWidget(const Value& address);
    void ShowSupportGroupOnly();

    std::string m_setName;
    ItemPtr m_registration;
    QPointer<QTreeWidget> m_tree;
    // Plain: compared with the object a destroyed signal names, and reset when it is this one.
    QWidget* m_widget = nullptr;
    quint64 m_orderCounter = 0;
    bool m_busy = false;
    QPointer<QPushButton> m_supportButton;
};
