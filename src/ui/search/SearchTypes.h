#pragma once

// The store types of the search page and its results tabs, declared by SearchForm::Init, and the
// context tool bar's sets and actions they answer. None of the types is saved but saved_filter;
// the row and widget ties hold addresses (shell/Ties.h).
namespace SearchTypes {

// A results tab's SearchResultsForm, tied to the search_request of every search it shows, its
// two expansion values, its user rows and, for a wish-list tab, its wish_list_item.
inline constexpr char SearchResultsWidget[] = "search_results_widget";
// A tab's filter line, tied to the tab's search_results_widget: the filter pass finds its tab
// through it, wherever the line sits within the tab.
inline constexpr char SearchResultsFilterLine[] = "search_results_filter_line";
// "yes" or "no", one of each per tab.
inline constexpr char ExpandFolders[] = "expand_folders";
inline constexpr char ExpandUsers[] = "expand_users";
// The rows of a result tree: user, folder and file.
inline constexpr char SearchResultsUserNode[] = "search_results_user_node";
inline constexpr char SearchResultsFolderNode[] = "search_results_folder_node";
inline constexpr char SearchResultNode[] = "search_result_node";
// A row of the wish-list tree and its check box.
inline constexpr char WishListNode[] = "wish_list_node";
inline constexpr char WishListNodeCheckbox[] = "wish_list_node_checkbox";
// A filter the user kept: its text simplified and lower-cased, shared by every tab (saved).
inline constexpr char SavedFilter[] = "saved_filter";

} // namespace SearchTypes

namespace SearchActions {

// Sets: every results tab is registered under the first, the wish-list tree under the second.
inline constexpr char SearchResultsSet[] = "search_results";
inline constexpr char WishListSet[] = "wish_list";

inline constexpr char OrderByAvailable[] = "order_by_available";
inline constexpr char OrderByFastest[] = "order_by_fastest";
inline constexpr char ExpandFolders[] = "expand_folders";
inline constexpr char ExpandUsers[] = "expand_users";
inline constexpr char AddRemoveWishlist[] = "add_remove_wishlist";
inline constexpr char RemoveWishListItem[] = "remove_wish_list_item";
inline constexpr char EnableAllWishListItems[] = "enable_all_wish_list_items";
inline constexpr char DisableAllWishListItems[] = "disable_all_wish_list_items";

} // namespace SearchActions
