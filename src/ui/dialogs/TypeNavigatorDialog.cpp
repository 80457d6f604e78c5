#include "ui/dialogs/TypeNavigatorDialog.h"

#include "shell/DisplayText.h"
#include "store/Data.h"
#include "store/GeneralFunctions.h"

#include "ui_TypeNavigatorDialog.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr size_t kMaxPathNames = TypeNavigatorDialog::kMaxNavigatorSteps + 1;

// Each type's related types in the order the type keeps its relations, read once per search.
class Neighbours
{
public:
    const std::vector<Type*>& Of(Type* type)
    {
        const auto [found, made] = m_related.try_emplace(type);
        if (made) {
            RelationMap relations;
            type->GetRelatedTypes(relations);
            for (const auto& relation : relations)
                found->second.push_back(relation.first);
        }
        return found->second;
    }

private:
    std::unordered_map<Type*, std::vector<Type*>> m_related;
};

// Relations are known to both of their types, so steps count the same either way.
std::unordered_map<Type*, int> StepsFrom(Type* origin, int maxSteps, Neighbours& neighbours)
{
    std::unordered_map<Type*, int> steps{{origin, 0}};
    std::vector<Type*> frontier{origin};
    for (int step = 1; step <= maxSteps && !frontier.empty(); ++step) {
        std::vector<Type*> next;
        for (Type* type : frontier) {
            for (Type* other : neighbours.Of(type)) {
                if (steps.try_emplace(other, step).second)
                    next.push_back(other);
            }
        }
        frontier.swap(next);
    }
    return steps;
}

} // namespace

TypeNavigatorDialog::TypeNavigatorDialog(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui_TypeNavigatorDialog>())
{
    ui->setupUi(this);
    connect(ui->fromTypeBox, &QComboBox::currentIndexChanged, this,
            [this] { onFromTypeSelectionChanged(ui->fromTypeBox->currentText()); });
    connect(ui->toTypeBox, &QComboBox::currentIndexChanged, this,
            [this] { onToTypeSelectionChanged(ui->toTypeBox->currentText()); });
}

TypeNavigatorDialog::~TypeNavigatorDialog()
{
    // The boxes go after this part of the dialog and may report their entries going.
    ui->fromTypeBox->disconnect(this);
    ui->toTypeBox->disconnect(this);
}

void TypeNavigatorDialog::Init()
{
    std::vector<std::string> names;
    for (const Type* type : d.GetTypes())
        names.push_back(type->GetName());
    std::sort(names.begin(), names.end());
    QStringList texts;
    for (const std::string& name : names)
        texts << RawText(name);
    ui->fromTypeBox->clear();
    // The first becomes current, which fills the end box and draws the chains.
    ui->fromTypeBox->addItems(texts);
}

void TypeNavigatorDialog::onFromTypeSelectionChanged(const QString& from)
{
    // Emptied, the end box has no current entry, and the chart is cleared.
    ui->toTypeBox->clear();
    const std::string start = RawBytes(from);
    std::set<std::string> related{start};
    GetRelatedTypes(start, related, 1);
    related.erase(start);
    QStringList texts;
    for (const std::string& name : related)
        texts << RawText(name);
    ui->toTypeBox->addItems(texts);
}

void TypeNavigatorDialog::onToTypeSelectionChanged(const QString&)
{
    const std::string from = RawBytes(ui->fromTypeBox->currentText());
    const std::string to = RawBytes(ui->toTypeBox->currentText());
    foundPaths.clear();
    m_morePaths = false;
    ui->chartEdit->clear();
    std::list<std::string> path;
    FindPath(from, to, path);
    for (const std::vector<std::string>& chain : foundPaths)
        ui->chartEdit->append(PathLine(chain));
    if (m_morePaths)
        ui->chartEdit->append(QStringLiteral("(more paths not shown)"));
}

void TypeNavigatorDialog::GetRelatedTypes(const std::string& name, std::set<std::string>& found,
                                          int depth)
{
    Type* origin = d.HasType(name);
    if (!origin || depth > kMaxNavigatorSteps)
        return;
    Neighbours neighbours;
    // Breadth first: a type is walked out of once, at the first level it is reached on, however
    // many ways lead to it; its related types are those of the next level.
    std::vector<Type*> frontier{origin};
    std::unordered_set<Type*> walked{origin};
    for (int level = depth; level <= kMaxNavigatorSteps && !frontier.empty(); ++level) {
        std::vector<Type*> next;
        for (Type* type : frontier) {
            for (Type* other : neighbours.Of(type)) {
                found.insert(other->GetName());
                if (walked.insert(other).second)
                    next.push_back(other);
            }
        }
        frontier.swap(next);
    }
}

void TypeNavigatorDialog::FindPath(const std::string& from, const std::string& to,
                                   std::list<std::string>& path)
{
    Type* start = d.HasType(from);
    Type* end = d.HasType(to);
    if (!start || !end || path.size() >= kMaxPathNames)
        return;
    Neighbours neighbours;
    // A step to a type farther from the end than the steps left leads to no chain. Counted
    // without regard to the types a chain has passed, it never asks for more than a chain needs.
    const std::unordered_map<Type*, int> toEnd = StepsFrom(end, kMaxNavigatorSteps, neighbours);

    std::vector<Type*> chain;
    for (const std::string& name : path)
        chain.push_back(d.HasType(name));
    const size_t before = chain.size();
    const auto found = [&] {
        if (foundPaths.size() == size_t(kMaxNavigatorPaths)) {
            m_morePaths = true;
            return false;
        }
        std::vector<std::string> names(path.begin(), path.end());
        for (size_t i = before; i < chain.size(); ++i)
            names.push_back(chain[i]->GetName());
        foundPaths.push_back(std::move(names));
        return true;
    };

    // Chains of one length at a time, each length walked depth first in the order the types
    // keep their relations: shortest first, and among equals in the order of discovery.
    struct Frame
    {
        Type* type;
        size_t next;
    };
    for (size_t length = before + 1; length <= kMaxPathNames; ++length) {
        chain.resize(before);
        chain.push_back(start);
        if (start == end) {
            // A chain never continues past its end.
            if (length == chain.size() && !found())
                return;
            continue;
        }
        std::vector<Frame> stack{{start, 0}};
        while (!stack.empty()) {
            Frame& top = stack.back();
            const std::vector<Type*>& related = neighbours.Of(top.type);
            if (top.next == related.size()) {
                stack.pop_back();
                chain.pop_back();
                continue;
            }
            Type* other = related[top.next++];
            if (std::find(chain.begin(), chain.end(), other) != chain.end())
                continue;
            const size_t names = chain.size() + 1;
            const auto steps = toEnd.find(other);
            if (names > length || steps == toEnd.end() || size_t(steps->second) > length - names)
                continue;
            chain.push_back(other);
            if (other == end) {
                if (names == length && !found())
                    return;
                chain.pop_back();
                continue;
            }
            stack.push_back({other, 0});
        }
    }
}

QString TypeNavigatorDialog::PathLine(const std::vector<std::string>& path) const
{
    QString body;
    bool toMany = false;
    const Type* previous = nullptr;
    for (const std::string& name : path) {
        const Type* type = d.GetType(name);
        if (previous) {
            // From one item of the previous type: to many of this type, or to one at most.
            const bool many = previous->GetRelation(type).otherPerThis == Many;
            toMany = toMany || many;
            body += many ? QStringLiteral(" => ") : QStringLiteral(" -> ");
        }
        body += QStringLiteral("<b>") + EscapeHTML(RawText(name)) + QStringLiteral("</b>");
        if (type->IsNull())
            body += QStringLiteral(" [null]");
        previous = type;
    }
    const QString count = QString::number(path.size());
    if (toMany)
        return u'[' + count + QStringLiteral("] ") + body;
    return QStringLiteral("<font color=green><b>[") + count + QStringLiteral("]</b></font> ") +
           body;
}
