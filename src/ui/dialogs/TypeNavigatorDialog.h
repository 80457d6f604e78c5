#pragma once

#include <QDialog>

#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

class Ui_TypeNavigatorDialog;

// How two store types are linked through the schema: every chain of at most seven related types
// from the start type to the end type, shortest first, each step marked by whether it leads to
// one item or to many. Reads only types and relations. Made once and kept: closing hides it.
class TypeNavigatorDialog : public QDialog
{
    Q_OBJECT

public:
    // Relation steps from the start type to an offered end type, and along a listed chain.
    static constexpr int kMaxNavigatorSteps = 6;
    // Chains listed; a real schema links two types by far more, which nobody reads.
    static constexpr int kMaxNavigatorPaths = 1000;

    explicit TypeNavigatorDialog(QWidget* parent = nullptr);
    ~TypeNavigatorDialog() override;

    // Fills the start box with every type; called once, right after construction.
    void Init();

    // Adds to found the names of the types at most kMaxNavigatorSteps - depth + 1 steps from
    // the named type.
    void GetRelatedTypes(const std::string& name, std::set<std::string>& found, int depth);
    // Adds to foundPaths each chain that continues path (the names before from) with from and
    // ends at to, by length, then in the order the types list their relations. Stops after
    // kMaxNavigatorPaths and notes that there are more.
    void FindPath(const std::string& from, const std::string& to, std::list<std::string>& path);

public Q_SLOTS:
    void onFromTypeSelectionChanged(const QString& from);
    // Reads both boxes; the argument is not used.
    void onToTypeSelectionChanged(const QString& to);

private:
    // The rich text of one chain; type names are escaped.
    QString PathLine(const std::vector<std::string>& path) const;

    std::unique_ptr<Ui_TypeNavigatorDialog> ui;
    std::vector<std::vector<std::string>> foundPaths;
    bool m_morePaths = false;
};
