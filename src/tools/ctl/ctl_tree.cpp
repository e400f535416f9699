// ctl_tree.cpp - folders and trees of the server, page after page (see
// ctl_tree.h).
#include "tools/ctl/ctl_tree.h"

tfs_result ctl_list_folder(ctfs_session* s, const ctl_point& p, const std::string& path,
                           uint8_t flags, std::vector<read_entry>* out, int64_t* listed_at) {
    out->clear();
    read_folder_query q;
    q.run = p.run;
    q.at = p.at;
    q.flags = flags;
    q.path = path;
    for (;;) {
        read_folder_page page;
        const tfs_result rc = read_list_folder(s, q, &page);
        if (rc != ERR_NONE) return rc;
        if (listed_at) *listed_at = page.at;
        for (read_entry& e : page.entries) out->push_back(std::move(e));
        if (!page.more || out->empty()) return ERR_NONE;
        // A page that does not move on would loop for ever.
        if (out->back().name <= q.after && !q.after.empty()) return ERR_SEQUENCE;
        q.after = out->back().name;
    }
}

std::string ctl_child(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

tfs_result ctl_walk(ctfs_session* s, const ctl_point& p, const std::string& path, uint8_t flags,
                    const std::function<bool(const std::string&, const read_entry&)>& visit) {
    std::vector<read_entry> entries;
    tfs_result rc = ctl_list_folder(s, p, path, flags, &entries, nullptr);
    if (rc != ERR_NONE) return rc;
    for (const read_entry& e : entries) {
        const std::string child = ctl_child(path, e.name);
        if (!visit(child, e)) return ERR_NONE;
        // A folder gone by then has no listing of its own at that point.
        if ((e.flags & READ_ENTRY_FOLDER) && !(e.flags & READ_ENTRY_GONE)) {
            rc = ctl_walk(s, p, child, flags, visit);
            if (rc != ERR_NONE) return rc;
        }
    }
    return ERR_NONE;
}
