// ctl_restore_writer.cpp - one stored version made whole below a held folder
// (see ctl_restore_writer.h).
#include "tools/ctl/ctl_restore_writer.h"

#include "common/owner.h"
#include "common/text.h"
#include "keys/block_codec.h"
#include "platform/platform.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

std::string last_error_text() {
    char text[256];
    return plat_error_text(plat_last_error(), text, sizeof text);
}

uint64_t blocks_wanted(const read_blocks_page& v) {
    return v.block_size ? (v.size + v.block_size - 1) / v.block_size : 0;
}

uint32_t plain_of(const read_blocks_page& v, size_t i) {
    const uint64_t left = v.size - static_cast<uint64_t>(i) * v.block_size;
    return static_cast<uint32_t>(left < v.block_size ? left : v.block_size);
}

// Takes the oldest block in flight and hands it on; false at a fault.
bool settle(decode_pool* pool, const std::function<bool(const decode_job&)>& put,
            std::vector<restore_fault>* faults) {
    std::unique_ptr<decode_job> j = decode_pool_take(pool);
    if (!j) return true;
    if (j->result != DECODE_OK) {
        faults->push_back(restore_fault{j->index, decode_result_text(j->result)});
        return false;
    }
    if (put && !put(*j)) {
        faults->push_back(restore_fault{j->index, "cannot write: " + last_error_text()});
        return false;
    }
    return true;
}

} // namespace

std::string restore_fault_text(const read_blocks_page& v, const restore_fault& f) {
    if (f.block < 0 || static_cast<size_t>(f.block) >= v.blocks.size()) return f.why;
    return "block " + std::to_string(f.block) + " (digest " +
           hex_lower(v.blocks[static_cast<size_t>(f.block)].digest, 32).substr(0, 16) +
           "...): " + f.why;
}

bool restore_decode_version(const read_blocks_page& v, const restore_source& src,
                            decode_pool* pool, bool stop_at_first,
                            const std::function<bool(const decode_job&)>& put,
                            std::vector<restore_fault>* faults) {
    faults->clear();
    if (v.blocks.size() != blocks_wanted(v) || v.total != v.blocks.size()) {
        faults->push_back(restore_fault{-1, "block count " + std::to_string(v.blocks.size()) +
                                                " for " + std::to_string(blocks_wanted(v))});
        return false;
    }
    const size_t depth = decode_pool_depth(pool);
    size_t in_flight = 0;
    bool stopped = false;
    for (size_t i = 0; i < v.blocks.size() && !stopped; i++) {
        const read_block_ref& ref = v.blocks[i];
        std::string why;
        std::unique_ptr<decode_job> j(new decode_job);
        j->index = static_cast<uint32_t>(i);
        j->ref = ref;
        j->plain_size = plain_of(v, i);
        if (ref.plain != j->plain_size) {
            why = "holds " + std::to_string(ref.plain) + " bytes, not " +
                  std::to_string(j->plain_size);
        } else if (ref.stored > READ_BLOCK_MAX) {
            why = "too large to read (" + std::to_string(ref.stored) + " bytes stored)";
        } else if (!src.fetch(src.ctx, ref, &j->stored, &why)) {
            if (why.empty()) why = "cannot be read";
        }
        if (!why.empty()) {
            // Blocks before it are settled first, so faults stay in order.
            while (in_flight > 0) {
                in_flight--;
                if (!settle(pool, put, faults) && stop_at_first) stopped = true;
            }
            faults->push_back(restore_fault{static_cast<int64_t>(i), why});
            if (stop_at_first) stopped = true;
            continue;
        }
        decode_pool_submit(pool, std::move(j));
        in_flight++;
        while (in_flight >= depth && !stopped) {
            in_flight--;
            if (!settle(pool, put, faults) && stop_at_first) stopped = true;
        }
    }
    // What is still in flight is settled (or, after a fault, thrown away).
    while (in_flight > 0) {
        in_flight--;
        if (stopped)
            decode_pool_take(pool);
        else if (!settle(pool, put, faults) && stop_at_first)
            stopped = true;
    }
    return faults->empty();
}

bool restore_file_is_whole(plat_restore_dir* dir, const std::string& name,
                           const read_blocks_page& v, const restore_source& src,
                           decode_pool* pool) {
    uint64_t size = 0;
    int64_t mtime = 0;
    owner<FILE, fclose> f(plat_restore_open_read(dir, name.c_str(), &size, &mtime));
    if (!f || size != v.size || mtime != static_cast<int64_t>(v.mtime)) return false;
    if (v.blocks.size() != blocks_wanted(v)) return false;
    std::vector<uint8_t> local;
    for (size_t i = 0; i < v.blocks.size(); i++) {
        const read_block_ref& ref = v.blocks[i];
        local.resize(plain_of(v, i));
        if (!local.empty() && fread(local.data(), 1, local.size(), f.get()) != local.size())
            return false;
        if (ref.has_md5) {
            uint8_t m[EVP_MAX_MD_SIZE];
            unsigned int mlen = 0;
            if (EVP_Digest(local.data(), local.size(), m, &mlen, EVP_md5(), nullptr) != 1 ||
                memcmp(m, ref.md5, 16) != 0)
                return false;
            continue;
        }
        // No MD5 was stored for it: the block itself is the reference.
        read_blocks_page one = v;
        one.blocks.assign(1, ref);
        one.size = local.size();
        one.block_size = v.block_size;
        one.total = 1;
        std::vector<restore_fault> faults;
        bool same = false;
        restore_decode_version(one, src, pool, true,
                               [&](const decode_job& j) {
                                   same = j.plain == local;
                                   return true;
                               },
                               &faults);
        if (!same) return false;
    }
    return fgetc(f.get()) == EOF;
}

restore_outcome restore_write_file(plat_restore_dir* dir, const std::string& name,
                                   const read_blocks_page& v, const restore_source& src,
                                   decode_pool* pool, const restore_file_opts& o,
                                   const restore_tick& tick, std::string* why) {
    why->clear();
    const plat_restore_kind there = plat_restore_what(dir, name.c_str());
    switch (there) {
    case PLAT_RESTORE_NONE:
        break;
    case PLAT_RESTORE_FOLDER:
        *why = "a folder stands at its place";
        return RESTORE_FAILED;
    case PLAT_RESTORE_OTHER:
        *why = "something that is not a file stands at its place";
        return RESTORE_FAILED;
    case PLAT_RESTORE_FAILED:
        *why = "cannot look at its place: " + last_error_text();
        return RESTORE_FAILED;
    case PLAT_RESTORE_LINK:
        if (!o.overwrite) {
            *why = "a link stands at its place (a restore never follows one; --overwrite "
                   "replaces the link itself)";
            return RESTORE_FAILED;
        }
        break;
    case PLAT_RESTORE_FILE:
        if (restore_file_is_whole(dir, name, v, src, pool)) return RESTORE_WHOLE;
        if (!o.overwrite) {
            *why = "a different file exists there (--overwrite replaces it)";
            return RESTORE_FAILED;
        }
        break;
    }
    if (o.dry_run) return RESTORE_DRY;

    // Written owner-only under a temporary name beside its place; its access
    // and time are set on the open file, its name given only once whole.
    const std::string temp = name + ".tavni-part";
    owner<plat_restore_file, plat_restore_close> f(plat_restore_create(dir, temp.c_str()));
    if (!f) {
        *why = "cannot write " + temp + ": " + last_error_text();
        return RESTORE_FAILED;
    }
    FILE* out = plat_restore_stream(f.get());
    uint64_t written = 0;
    std::vector<restore_fault> faults;
    const bool decoded = restore_decode_version(
        v, src, pool, true,
        [&](const decode_job& j) {
            const bool zero = block_all_zero(j.plain.data(), j.plain.size());
            const bool ok = zero ? plat_restore_skip(f.get(), j.plain.size()) == 0
                                 : fwrite(j.plain.data(), 1, j.plain.size(), out) == j.plain.size();
            if (!ok) return false;
            written += j.plain.size();
            if (tick) tick(j.plain.size());
            return true;
        },
        &faults);
    if (!decoded) {
        *why = restore_fault_text(v, faults.front());
        return RESTORE_FAILED;
    }
    if (written != v.size || plat_restore_set_size(f.get(), v.size) != 0) {
        *why = written != v.size ? "came out " + std::to_string(written) + " bytes, not " +
                                       std::to_string(v.size)
                                 : "cannot write: " + last_error_text();
        return RESTORE_FAILED;
    }
    // The security record: a 5-byte head (kind, length as 32-bit little
    // endian) and its bytes; a malformed one is not applied.
    const uint8_t* rec = reinterpret_cast<const uint8_t*>(v.security.data());
    uint8_t kind = 0;
    uint32_t rec_len = 0;
    if (v.has_security && v.security.size() >= 5) {
        const uint32_t value = static_cast<uint32_t>(rec[1]) | static_cast<uint32_t>(rec[2]) << 8 |
                               static_cast<uint32_t>(rec[3]) << 16 |
                               static_cast<uint32_t>(rec[4]) << 24;
        if (value == v.security.size() - 5) {
            kind = rec[0];
            rec_len = value;
        }
    }
    int dropped = 0;
    const bool access_ok =
        plat_restore_finish(f.get(), kind, rec_len ? rec + 5 : nullptr, rec_len,
                            o.same_owner ? PLAT_RESTORE_SAME_OWNER : 0,
                            static_cast<int64_t>(v.mtime), &dropped) == 0;
    const bool replace = there == PLAT_RESTORE_FILE || there == PLAT_RESTORE_LINK;
    if (plat_restore_commit(f.get(), name.c_str(), replace) != 0) {
        *why = plat_error_is_swapped(plat_last_error())
                   ? temp + " was replaced while it was written (a restore never follows a link)"
                   : "cannot give it its name: " + last_error_text();
        return RESTORE_FAILED;
    }
    f.reset();
    if (!access_ok) {
        *why = "restored, but its owner, access or time could not be set";
        return RESTORE_FAILED;
    }
    if (dropped & PLAT_RESTORE_DROPPED_SETID)
        *why = "set-user-id and set-group-id bits dropped (kept only with --same-owner, for a "
               "file restored to its stored owner and group)";
    return RESTORE_WRITTEN;
}
