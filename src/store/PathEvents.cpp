// Path events: a subscriber describes a small tree of types and is told the root item whenever a
// watched link of the tree changes and the rest of the tree holds around it.
//
// The checks recurse over the pattern, not over the data: their depth is the depth of the
// pattern, which the code that registers it fixes, whatever the size of the store.

#include "store/Data.h"

#include <algorithm>

namespace {

bool IsConnectedRelation(PathNodeRelation r)
{
    return r == PathConnected || r == PathConnectedCondition || r == PathConnectedWatchOnly;
}

bool WatchesConnection(PathNodeRelation r)
{
    return r == PathConnected || r == PathConnectedWatchOnly;
}

bool WatchesDisconnection(PathNodeRelation r)
{
    return r == PathDisconnected || r == PathDisconnectedWatchOnly;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// PathNode

PathNode::PathNode(Data* data, const char* typeName) : data_(data), type_(data->GetType(typeName))
{
}

PathNode::PathNode(Item* item) : data_(item->GetType()->GetOwner()), type_(item->GetType())
{
    if (type_->IsNull())
        Data::CheckFailed("a path node anchored on an item of a null type");
    anchored_ = true;
    value_ = item->AsString();
}

PathNode::PathNode(PathNode* parent, const char* typeName, PathNodeRelation relation)
    : data_(parent->data_), type_(parent->data_->GetType(typeName))
{
    Attach(parent, relation);
}

PathNode::PathNode(PathNode* parent, Item* item, PathNodeRelation relation)
    : data_(parent->data_), type_(item->GetType())
{
    if (type_->IsNull())
        Data::CheckFailed("a path node anchored on an item of a null type");
    anchored_ = true;
    value_ = item->AsString();
    Attach(parent, relation);
}

PathNode::~PathNode()
{
    for (auto& child : children_)
        delete child.first;
}

void PathNode::Attach(PathNode* parent, PathNodeRelation relation)
{
    parent_ = parent;
    relation_ = relation;
    parent->children_.emplace_back(this, relation);
}

bool TypePairOrder::operator()(const std::pair<Type*, Type*>& a,
                               const std::pair<Type*, Type*>& b) const
{
    if (a.first->Id() != b.first->Id())
        return a.first->Id() < b.first->Id();
    return a.second->Id() < b.second->Id();
}

PathNodeHandlerInfo::PathNodeHandlerInfo(PathNode* node, EventHandlerBase<Item*>* h)
    : handler(h), root(node)
{
    handler->Retain();
}

PathNodeHandlerInfo::~PathNodeHandlerInfo()
{
    handler->Release();
}

// ---------------------------------------------------------------------------------------------
// Registering

bool Data::GetPathNodePairs(PathNode* node, PathNodePairMap& out) const
{
    bool ok = true;
    std::vector<PathNode*> work{node};
    while (!work.empty()) {
        PathNode* n = work.back();
        work.pop_back();
        // Children go on the work list in reverse so that they are entered in the order made.
        for (auto it = n->children_.rbegin(); it != n->children_.rend(); ++it)
            work.push_back(it->first);
        for (const auto& child : n->children_) {
            const auto key = std::make_pair(n->type_, child.first->type_);
            if (out.count(key)) {
                CheckFailed("a path pattern uses the same pair of types twice");
                ok = false;
                continue;
            }
            out.emplace(key, PathNodePairInfo{n, child.first, child.second});
        }
    }
    return ok;
}

void Data::AddPathEventHandler(PathNode* root, EventHandlerBase<Item*>* handler)
{
    std::unique_ptr<PathNode> tree(root);
    if (!root || !handler)
        return;
    if (root->parent_) {
        CheckFailed("a path pattern registered from a node that has a parent");
        // The store was handed the tree all the same; it goes as a whole.
        tree.release();
        while (root->parent_)
            root = root->parent_;
        delete root;
        return;
    }
    PathNodePairMap pairs;
    if (!GetPathNodePairs(root, pairs) || pairs.empty())
        return;
    // Every watched pair must be related before anything is registered.
    for (const auto& p : pairs) {
        const PathNodeRelation r = p.second.relation;
        if ((WatchesConnection(r) || WatchesDisconnection(r)) &&
            !p.first.first->IsRelated(p.first.second)) {
            throw NotRelatedException("path pattern: \"" + p.first.first->GetName() +
                                      "\" is not related to \"" + p.first.second->GetName() +
                                      "\"");
        }
    }
    auto* info = new PathNodeHandlerInfo(tree.release(), handler);
    info->Retain();
    info->pairs = std::move(pairs);
    for (const auto& p : info->pairs) {
        const PathNodeRelation r = p.second.relation;
        const bool connect = WatchesConnection(r);
        if (!connect && !WatchesDisconnection(r))
            continue;
        Type* a = p.first.first;
        Type* b = p.first.second;
        PathTables& tables = connect ? connectionPaths_ : disconnectionPaths_;
        PathTable& table = tables[std::make_pair(a->Id(), b->Id())];
        if (!table.own) {
            auto method =
                connect ? &Data::OnPathNodeEventConnection : &Data::OnPathNodeEventDisconnection;
            table.own = NewEventHandler(this, method);
            if (connect)
                AddConnectionEventHandler(a, b, table.own);
            else
                AddDisconnectionEventHandler(a, b, table.own);
        }
        if (!table.registrations.Contains(info)) {
            info->Retain();
            table.registrations.Append(info);
        }
    }
    // The tables hold it now; the store drops it once its subscriber is gone.
    info->Release();
}

void Data::RemovePathEventHandler(PathNodeHandlerInfo* info)
{
    if (info->IsRemoved())
        return;
    info->MarkRemoved();
    for (const auto& p : info->pairs) {
        const PathNodeRelation r = p.second.relation;
        const bool connect = WatchesConnection(r);
        if (!connect && !WatchesDisconnection(r))
            continue;
        PathTables& tables = connect ? connectionPaths_ : disconnectionPaths_;
        auto it = tables.find(std::make_pair(p.first.first->Id(), p.first.second->Id()));
        if (it == tables.end())
            continue;
        auto& regs = it->second.registrations;
        if (!regs.Remove(info))
            continue;
        info->Release();
        if (regs.IsEmpty()) {
            // The last pattern on this pair went: so does the store's own pair handler, from the
            // pair's event and from the store's own handler set alike. Kept in the set, every
            // pair watched again would leave one more handler behind for good.
            EventHandler<Data, ConnectionInfo&>* own = it->second.own;
            Type::Relation* rel = p.first.first->FindRelation(p.first.second);
            if (rel) {
                auto& ev = connect ? rel->onConnect : rel->onDisconnect;
                if (ev)
                    ev->Remove(own);
            }
            RetireDataHandler(own);
            tables.erase(it);
        }
    }
}

void Data::ReleasePathTables(PathTables& tables)
{
    for (auto& t : tables) {
        HandlerList<PathNodeHandlerInfo>::Snapshot registrations(t.second.registrations);
        for (PathNodeHandlerInfo* info : registrations) {
            info->MarkRemoved();
            info->Release();
        }
    }
    tables.clear();
}

// ---------------------------------------------------------------------------------------------
// Reacting

void Data::OnPathNodeEventConnection(ConnectionInfo& info)
{
    OnPathNodeEvent(info, connectionPaths_);
}

void Data::OnPathNodeEventDisconnection(ConnectionInfo& info)
{
    OnPathNodeEvent(info, disconnectionPaths_);
}

void Data::OnPathNodeEvent(ConnectionInfo& info, PathTables& tables)
{
    Item* x = info.first;
    Item* y = info.second;
    Type* a = x->type_;
    Type* b = y->type_;
    auto it = tables.find(std::make_pair(a->Id(), b->Id()));
    if (it == tables.end()) {
        CheckFailed("a path handler told of a pair it does not watch");
        return;
    }
    // Registrations dropped while this walk runs stay allocated until it ends.
    EventHandlerRoot::NotifyScope scope;
    HandlerList<PathNodeHandlerInfo>::Snapshot registrations(it->second.registrations);
    const uint32_t xid = x->id_;
    const uint32_t yid = y->id_;
    Batch batch(this);
    for (PathNodeHandlerInfo* reg : registrations) {
        if (reg->IsRemoved())
            continue;
        if (reg->handler->IsRemoved()) {
            RemovePathEventHandler(reg);
            continue;
        }
        // An earlier handler may have removed one of the two items.
        if (ItemById(xid) != x || ItemById(yid) != y)
            return;
        auto link = reg->pairs.find(std::make_pair(a, b));
        if (link == reg->pairs.end())
            continue;
        Item* root = nullptr;
        if (!VerifyPathNodeParentNodeConnections(x, link->second.parent, link->second.child, root))
            continue;
        if (!VerifyPathNodeSubNodeConnections(y, link->second.child, nullptr))
            continue;
        // A chain that went up through a "not connected" link may pass without reaching the
        // root; there is then no root item to tell.
        if (root)
            reg->handler->Handle(root);
    }
}

bool Data::VerifyPathNodeSubNodeConnections(Item* item, PathNode* node, PathNode* skippedChild)
{
    if (node->anchored_ && item->value_ != node->value_)
        return false;
    std::vector<uint32_t> ids;
    for (const auto& child : node->children_) {
        if (child.first == skippedChild)
            continue;
        const PathNodeRelation r = child.second;
        if (r == PathConnectedWatchOnly || r == PathDisconnectedWatchOnly ||
            (r != PathConnected && r != PathConnectedCondition && r != PathDisconnected &&
             r != PathDisconnectedCondition)) {
            CheckFailed("a watch-only path link used as a condition");
            continue;
        }
        item->links_.Ids(child.first->type_->id_, ids);
        bool any = false;
        for (uint32_t id : ids) {
            Item* partner = ItemById(id);
            if (partner && VerifyPathNodeSubNodeConnections(partner, child.first, nullptr)) {
                any = true;
                break;
            }
        }
        if (IsConnectedRelation(r) ? !any : any)
            return false;
    }
    return true;
}

bool Data::VerifyPathNodeParentNodeConnections(Item* item, PathNode* node, PathNode* fromChild,
                                               Item*& root)
{
    if (node->anchored_ && item->value_ != node->value_)
        return false;
    if (!VerifyPathNodeSubNodeConnections(item, node, fromChild))
        return false;
    PathNode* parent = node->parent_;
    if (!parent) {
        root = item;
        return true;
    }
    const PathNodeRelation r = node->relation_;
    if (r == PathConnectedWatchOnly || r == PathDisconnectedWatchOnly) {
        CheckFailed("a watch-only path link used as a condition");
        return false;
    }
    std::vector<uint32_t> ids;
    item->links_.Ids(parent->type_->id_, ids);
    if (IsConnectedRelation(r)) {
        for (uint32_t id : ids) {
            Item* partner = ItemById(id);
            if (partner && VerifyPathNodeParentNodeConnections(partner, parent, node, root))
                return true;
        }
        return false;
    }
    if (ids.empty())
        return true;
    for (uint32_t id : ids) {
        Item* partner = ItemById(id);
        if (partner && !VerifyPathNodeParentNodeConnections(partner, parent, node, root))
            return true;
    }
    return false;
}
