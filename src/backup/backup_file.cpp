// backup_file.cpp - the backup of one file, block by block, and the remote
// folders that filtered files need below "/Today/".
//
// A file is opened on the server, which answers with its block layout; every
// block is offered by MD5 (or empty) and sent through a fresh stream chain
// (read, MD5, zlib, AES-256-CBC) in pieces of the shared transfer buffer,
// followed by its closing checksum. The hot path allocates nothing per block
// of its own: the transfer buffer and the MD5 context live for the file.
// A transfer that spanned a reconnection is never counted as sent: data
// written before the break may be lost, so the file starts again at its open.
// Nor is a file that changed while it was read: its status is taken again
// after the last read, before the server can make the version current.
#include "backup/backup_file.h"

#include "backup/block_pool.h"

#include "backup/fci/fci.h"
#include "backup/filters.h"
#include "backup/job.h"
#include "backup/os_error.h"
#include "backup/security_record.h"
#include "backup/streams.h"
#include "common/keepalive.h"
#include "runtime/log.h"
#include "runtime/progress.h"
#include "common/mem.h"
#include "common/text.h"
#include "protocol/remote.h"
#include "protocol/session.h"
#include "report/report.h"
#include "common/owner.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// ---- context ------------------------------------------------------------------

namespace {

// A file whose close was sent and not yet confirmed by a later answer.
struct pending_close {
    std::string local;
    std::string remote;
    int64_t mtime;
    int64_t size;
    const folder_filter* filter;
    uint32_t connection; // the session's connection count when the close went out
    uint32_t answers;    // the session's answer count then
    bool resent;         // this is already the second sending
};

} // namespace

struct backup_pending {
    std::vector<pending_close> closes;
};

void backup_context_init(backup_context* ctx) {
    *ctx = backup_context{};
    ctx->style = native_path_style();
    ctx->transfer = static_cast<uint8_t*>(mem_alloc(BACKUP_TRANSFER_SIZE));
    // Room for 16 folders, grown by half again when full.
    ctx->today_folders = blob_list_new(16, 8, blob_list_default_destroy);
    ctx->pending = new backup_pending();
    ctx->listing_limit = BACKUP_LISTING_MAX;
}

void backup_context_start_pool(backup_context* ctx) {
    if (!ctx->pool && ctx->account_key)
        ctx->pool = block_pool_new(block_pool_default_workers(), ctx->account_key);
}

void backup_context_release(backup_context* ctx) {
    block_pool_free(ctx->pool);
    ctx->pool = nullptr;
    free(ctx->transfer);
    ctx->transfer = nullptr;
    blob_list_free(ctx->today_folders);
    ctx->today_folders = nullptr;
    delete ctx->pending;
    ctx->pending = nullptr;
}

bool backup_index_lookup(backup_context* ctx, const char* path, int64_t mtime, int64_t size) {
    if (!ctx->index) return false;
    bool found = false;
    if (fci_lookup(ctx->index, path, static_cast<int32_t>(mtime), size, &found) != 0) return false;
    return found;
}

void backup_index_add(backup_context* ctx, const char* path, int64_t mtime, int64_t size) {
    if (ctx->index) fci_add(ctx->index, path, static_cast<int32_t>(mtime), size);
}

void backup_index_disown(backup_context* ctx) {
    if (ctx->index) fci_disown(ctx->index);
}

namespace {

using stream_holder = owner<data_stream, data_stream_free>;

// The local descriptor: opened once per call, kept over retries. With a
// pool, the workers stop reading it before it is closed; a descriptor the
// pool opened ahead is closed by the pool.
struct local_file {
    plat_file fd = PLAT_NO_FILE;
    block_pool* pool = nullptr; // the file was begun in it
    bool pool_owns = false;     // fd came from block_pool_claim
    local_file() = default;
    local_file(const local_file&) = delete;
    local_file& operator=(const local_file&) = delete;
    ~local_file() { close(); }
    bool open() const { return fd != PLAT_NO_FILE; }
    void close() {
        if (pool) block_pool_end(pool);
        pool = nullptr;
        if (fd != PLAT_NO_FILE && !pool_owns) plat_file_close(fd);
        fd = PLAT_NO_FILE;
        pool_owns = false;
    }
};

// The state of one file's transfer.
struct file_transfer {
    backup_context* ctx;
    const char* local;
    local_file file;
    owner<EVP_MD_CTX, EVP_MD_CTX_free> md;
    uint8_t handle = 0;
    uint32_t block_size = 0;
    uint16_t blocks = 0;
    uint16_t known = 0;
    uint8_t md5[BACKUP_MD5_SIZE] = {};
    uint64_t bytes_read = 0;
    uint32_t connections_at_open = 0;
    uint64_t size = 0;   // as announced in the open request
    bool pooled = false; // the pool works on this attempt's blocks
    // The status the open announced, taken before the file's first read, and
    // the one taken after its last read (what the next read starts from when
    // the two differ).
    plat_file_info before{};
    plat_file_info after{};
};

// Bytes of block e: the block size, or what is left of the announced size
// for the last block (0 for a block past the end).
uint32_t block_length(const file_transfer* t, uint32_t e) {
    const uint64_t offset = static_cast<uint64_t>(e) * t->block_size;
    if (offset >= t->size) return 0;
    const uint64_t left = t->size - offset;
    return left < t->block_size ? static_cast<uint32_t>(left) : t->block_size;
}

bool reconnected(const file_transfer* t) {
    return t->ctx->session->connections != t->connections_at_open;
}

// The remote handle belongs to a connection that is gone: what was written
// through it may not have arrived, so the file starts again.
int spanned_reconnection(const file_transfer* t) {
    job_log_printf("FILE: ERROR: Connection to the server was re-established while sending "
                   "'%s'\n",
                   t->local);
    progress_item_bytes(0);
    return BACKUP_RETRY;
}

tfs_result send_write(file_transfer* t, uint8_t type, const uint8_t* data, uint16_t length) {
    ctfs_write_request w{t->handle, type, length, data, 0};
    return ctfs_file_write(t->ctx->session, &w);
}

// The two results that retry the whole file; logs with suffix and resets the
// item's bytes. BACKUP_OK for any other result.
int retry_result(const file_transfer* t, tfs_result rc, const char* suffix) {
    if (rc == ERR_BADKEY) {
        job_log_printf("FILE: ERROR: ERR_BADKEY on '%s'%s\n", t->local, suffix);
    } else if (rc == ERR_SCKREAD) {
        job_log_printf("FILE: ERROR: ERR_SCKREAD on '%s'%s\n", t->local, suffix);
    } else {
        return BACKUP_OK;
    }
    progress_item_bytes(0);
    return BACKUP_RETRY;
}

int server_failure(const file_transfer* t, tfs_result rc, int where) {
    report_file_error_code(t->local, rc);
    job_log_printf("FILE: ERROR: Server side failure from ctfs_file_write() @ %d with error code "
                   "%d on '%s'\n",
                   where, rc, t->local);
    return BACKUP_FAILED;
}

// MD5 of the plain bytes of block e, read in pieces through the transfer
// buffer; the end of the file ends the block early. 0, or -1 with the
// platform's last error set.
int block_md5(file_transfer* t, uint32_t e) {
    const int64_t offset = static_cast<int64_t>(e) * t->block_size;
    if (plat_file_seek(t->file.fd, offset, PLAT_SEEK_SET) < 0) return -1;
    if (!t->md) t->md.reset(EVP_MD_CTX_new());
    if (!t->md || EVP_DigestInit_ex(t->md.get(), EVP_md5(), nullptr) != 1) return -1;
    uint32_t left = block_length(t, e);
    while (left > 0) {
        const uint32_t piece = BACKUP_CHECKSUM_PIECE;
        const uint32_t want = left < piece ? left : piece;
        const int32_t n = plat_file_read(t->file.fd, t->ctx->transfer, want);
        if (n < 0) return -1;
        if (n == 0) break;
        EVP_DigestUpdate(t->md.get(), t->ctx->transfer, static_cast<size_t>(n));
        left -= static_cast<uint32_t>(n);
    }
    unsigned int length = 0;
    return EVP_DigestFinal_ex(t->md.get(), t->md5, &length) == 1 ? 0 : -1;
}

// One second of the file times (100-nanosecond units).
const uint64_t k_filetime_second = 10000000ULL;
// A file time up to this many seconds ahead of the file clock is still taken
// for "now" (a clock that stepped back a little); one further ahead is left
// alone, as no wait could bring the clock there.
const uint64_t k_clock_slack_seconds = 2;

// The file as it stands now, compared with the status its reads began
// from: the same size, write time and change time (each at the system's
// finest resolution). False (the file moved, or its status cannot be read)
// with t->after set to what is known now.
bool still_as_before(file_transfer* t) {
    plat_file_info now;
    if (plat_file_status(t->local, &now) != 0) {
        t->after = t->before;
        return false;
    }
    t->after = now;
    const plat_file_info& b = t->before;
    return (now.attributes & PLAT_ATTR_DIRECTORY) == 0 && now.size == b.size &&
           now.write_time == b.write_time &&
           (now.change_time == 0 || b.change_time == 0 || now.change_time == b.change_time);
}

// Called once the file's last byte has been read for this attempt, before
// the server can make the version current. The index and the server compare
// whole seconds, so a write later in the second of the file's write time
// would go unseen for ever: while the file clock is still in that second,
// this waits for it to leave and looks at the file once more. Only files
// written within the last second wait (at most a second, two for a time on a
// whole even second). BACKUP_OK, or BACKUP_CHANGED when the file moved.
int file_settled(file_transfer* t) {
    if (!still_as_before(t)) return BACKUP_CHANGED;
    const uint64_t second = t->after.write_time / k_filetime_second;
    // A time on a whole even second may come from a file system that keeps
    // two-second times (FAT), where a write in the next second carries it too.
    const uint64_t span = t->after.write_time % (2 * k_filetime_second) == 0 ? 2 : 1;
    uint64_t clock = plat_file_clock();
    if (second + span <= clock / k_filetime_second ||
        second > clock / k_filetime_second + k_clock_slack_seconds)
        return BACKUP_OK;
    while ((clock = plat_file_clock()) / k_filetime_second < second + span) {
        keepalive_bump();
        const uint64_t left = (second + span) * k_filetime_second - clock;
        plat_sleep_ms(static_cast<uint32_t>(left / 10000) + 1);
    }
    return still_as_before(t) ? BACKUP_OK : BACKUP_CHANGED;
}

[[noreturn]] void fatal_stream(const file_transfer* t) {
    job_log_printf("FILE: ERROR: MASSIVELY FATAL ERROR while processing '%s'; Aborting all "
                   "backup.\n",
                   t->local);
    report_fail_text("Massively fatal internal error! Backup aborted.");
    plat_exit_process(1);
}

// Where the data pieces of a block come from: its own chain, read now, or a
// worker's work, replayed piece by piece as the chain gave them.
struct piece_source {
    data_stream* chain = nullptr;
    const block_work* work = nullptr;
    uint32_t next = 0;
    uint64_t base = 0; // the file's bytes read before this block
};

// The next piece as the chain's read gives it; *data is set to its bytes.
int32_t next_piece(file_transfer* t, piece_source* src, const uint8_t** data) {
    if (src->chain) {
        *data = t->ctx->transfer;
        return src->chain->read(src->chain, t->ctx->transfer, BACKUP_WRITE_PIECE);
    }
    // The work always ends with its last read; more is a fault of the pool.
    if (src->next >= src->work->piece_count) return STREAM_FATAL;
    const block_piece& piece = src->work->pieces[src->next++];
    t->bytes_read = src->base + piece.read_after;
    *data = src->work->payload + piece.offset;
    return piece.result;
}

// Sends the data pieces of block e; the outcome.
int send_pieces(file_transfer* t, uint32_t e, piece_source* src) {
    if (terminate_requested_paced()) {
        job_log_printf("User terminated the backup.\n");
        termination_flag_set();
        return BACKUP_TERMINATED;
    }
    int outcome = BACKUP_OK;
    int32_t n = 0;
    for (;;) {
        const uint8_t* data = nullptr;
        n = next_piece(t, src, &data);
        if (n < 0) break;
        const tfs_result rc = send_write(t, BACKUP_WRITE_DATA, data, static_cast<uint16_t>(n));
        keepalive_bump();
        if (reconnected(t)) {
            outcome = spanned_reconnection(t);
            break;
        }
        if (rc != ERR_NONE) {
            outcome = retry_result(t, rc, "");
            if (outcome == BACKUP_OK) outcome = server_failure(t, rc, 448);
            break;
        }
        progress_item_bytes(t->bytes_read);
        if (n == 0) break;
        if (terminate_requested_paced()) {
            job_log_printf("User terminated the backup.\n");
            termination_flag_set();
            outcome = BACKUP_TERMINATED;
            break;
        }
    }
    if (n == STREAM_FATAL) fatal_stream(t);
    if (n == STREAM_ERROR && outcome == BACKUP_OK) {
        // The block is incomplete (a read error, or the file shrank while it
        // was read): its closing checksum must not follow as if it were whole.
        report_file_error_errno(t->local, EIO);
        job_log_printf("FILE: ERROR: Failed reading block %u of '%s'; the file could not be read "
                       "or changed while being read.\n",
                       e, t->local);
        outcome = BACKUP_FAILED;
    }
    return outcome;
}

int setup_failed(const file_transfer* t, const char* message) {
    report_file_error_errno(t->local, -1);
    job_log_printf(message, t->local);
    return BACKUP_FAILED;
}

const char k_read_setup_failed[] = "FILE: ERROR: Setup of file read stream failed on '%s'\n";
const char k_compress_setup_failed[] = "FILE: ERROR: Setup of compression stream failed on '%s'\n";
const char k_encrypt_setup_failed[] = "FILE: ERROR: Setup of encryption stream failed on '%s'\n";

// Sends the data of block e through a fresh chain; the outcome.
int send_block_data(file_transfer* t, uint32_t e, bool digest_in_passing) {
    const int64_t offset = static_cast<int64_t>(e) * t->block_size;
    stream_holder chain(
        file_read_stream_new(t->file.fd, offset, block_length(t, e), &t->bytes_read));
    const char* failed = nullptr;
    if (!chain) failed = k_read_setup_failed;
    if (!failed && digest_in_passing) {
        chain.reset(digest_stream_new(chain.release(), t->md5));
        if (!chain) failed = k_read_setup_failed;
    }
    if (!failed) {
        chain.reset(compress_stream_new(chain.release()));
        if (!chain) failed = k_compress_setup_failed;
    }
    if (!failed) {
        chain.reset(encrypt_stream_new(chain.release(), t->ctx->account_key));
        if (!chain) failed = k_encrypt_setup_failed;
    }
    if (failed) return setup_failed(t, failed);
    piece_source src;
    src.chain = chain.get();
    return send_pieces(t, e, &src);
}

// Sends the data of block e from a worker's work: what send_block_data would
// have sent, in the same pieces, with the same progress.
int send_block_work(file_transfer* t, uint32_t e, bool digest_in_passing, const block_work* work) {
    if (work->setup_failed == BLOCK_SETUP_COMPRESS) return setup_failed(t, k_compress_setup_failed);
    if (work->setup_failed != BLOCK_SETUP_OK) return setup_failed(t, k_encrypt_setup_failed);
    // Sent only after the block ended well, as the digest stream's would be.
    if (digest_in_passing) memcpy(t->md5, work->md5, sizeof t->md5);
    piece_source src;
    src.work = work;
    src.base = t->bytes_read;
    return send_pieces(t, e, &src);
}

// The exchange of block e; the outcome (BACKUP_OK: go on with the next block).
int block_exchange(file_transfer* t, uint32_t e) {
    keepalive_bump();
    const bool single = t->blocks == 1;
    const bool offered = !single && e < t->known;
    const block_work* work = t->pooled ? block_pool_take(t->ctx->pool, e) : nullptr;
    int md5_failed = 0;
    if (offered && work) {
        md5_failed = work->md5_error;
        if (!md5_failed) memcpy(t->md5, work->md5, sizeof t->md5);
    } else if (offered && block_md5(t, e) != 0) {
        errno_from_last_error();
        md5_failed = errno;
    }
    if (md5_failed) {
        report_file_error_errno(t->local, md5_failed);
        job_log_printf("FILE: ERROR: Failed calculating checksum for: '%s'\n", t->local);
        return BACKUP_FAILED;
    }
    // The last block's checksum was the file's last read: an answer that the
    // server holds it would complete the version.
    const bool last = e + 1 == t->blocks;
    if (last && offered) {
        const int settled = file_settled(t);
        if (settled != BACKUP_OK) return settled;
    }
    tfs_result rc = send_write(t, BACKUP_WRITE_OFFER, offered ? t->md5 : nullptr,
                               offered ? BACKUP_MD5_SIZE : 0);
    if (reconnected(t)) return spanned_reconnection(t);
    if (rc == ERR_UP2DATE) {
        progress_item_bytes(t->block_size);
        return BACKUP_OK;
    }
    if (rc != ERR_NONE) {
        const int retry = retry_result(t, rc, "");
        return retry != BACKUP_OK ? retry : server_failure(t, rc, 326);
    }

    const int outcome = work ? send_block_work(t, e, !single && !offered, work)
                             : send_block_data(t, e, !single && !offered);
    if (outcome != BACKUP_OK) return outcome;
    // Its closing checksum completes the version.
    if (last) {
        const int settled = file_settled(t);
        if (settled != BACKUP_OK) return settled;
    }

    rc = send_write(t, BACKUP_WRITE_CHECKSUM, single ? nullptr : t->md5,
                    single ? 0 : BACKUP_MD5_SIZE);
    if (reconnected(t)) return spanned_reconnection(t);
    if (rc == ERR_NONE) return BACKUP_OK;
    const int retry = retry_result(t, rc, " while sending checksum.");
    return retry != BACKUP_OK ? retry : server_failure(t, rc, 516);
}

// Serialises the file's security record into the transfer buffer; its
// length, or 0 when there is none to send.
uint16_t security_into_transfer(backup_context* ctx, const char* local) {
    security_record* rec = security_read(local);
    if (!rec) return 0;
    const int32_t size = security_size(rec);
    uint16_t length = 0;
    if (size >= 0 && size <= BACKUP_SECURITY_MAX &&
        security_serialise(rec, ctx->transfer, BACKUP_TRANSFER_SIZE) == 0)
        length = static_cast<uint16_t>(size);
    security_free(rec);
    return length;
}

// A file the change index shows current: kept in the next index, counted, and
// its progress item published once, as it ends.
void end_current(backup_context* ctx, const char* local, const plat_file_info* status,
                 uint64_t size) {
    backup_index_add(ctx, local, status->mtime, status->size);
    report_up_to_date();
    progress_pass_item(local, size, PROGRESS_END_CURRENT);
}

} // namespace

namespace {

// Closes of a connection that broke: their answer-less close may never have
// been read by the server.
bool close_lost(const ctfs_session* s, const pending_close& p) {
    if (p.connection == s->connections) return false;
    // The connection right before the current one ended with the answers it
    // had received by then; an older one proves nothing.
    return !(p.connection + 1 == s->connections && s->answers_at_connect != p.answers);
}

bool close_confirmed(const ctfs_session* s, const pending_close& p) {
    return p.connection == s->connections ? s->answers != p.answers : !close_lost(s, p);
}

// Names the next files of the walk to the pool while it has room for them.
void name_ahead(backup_context* ctx) {
    while (block_pool_wants_file(ctx->pool) && ctx->name_next(ctx->walk)) {
    }
}

// The attempt loop of one file: open, blocks, close; logs and records every
// outcome. again: a second sending of a file already counted as sent.
int send_file(backup_context* ctx, const char* local, const char* remote,
              const plat_file_info* status, const folder_filter* filter, bool again) {
    file_transfer t;
    t.ctx = ctx;
    t.local = local;
    // The status the file is sent with: the caller's, read before any of the
    // file's data; after a change while it was read, the one seen then.
    plat_file_info st = *status;
    int reads = 1;
    ctfs_session* session = ctx->session;
    // Opening for writing may replace the stored version: the previous index
    // must not outlive this moment as trusted.
    backup_index_disown(ctx);
    for (int attempts = 0;;) {
        const uint64_t size = st.size > 0 ? static_cast<uint64_t>(st.size) : 0;
        t.size = size;
        t.before = st;
        const uint16_t security_length = security_into_transfer(ctx, local);
        ctfs_wopen_request open{};
        open.open_mode = 1;
        open.mtime = static_cast<uint32_t>(st.mtime);
        open.path = remote;
        open.size = size;
        open.security_length = security_length;
        open.security = security_length ? ctx->transfer : nullptr;
        const tfs_result rc = safe_file_wopen(session, &open);
        if (rc == ERR_UP2DATE) {
            job_log_printf("FILE: File was reported to be changed, but is in fact up to date: "
                           "'%s'\n",
                           local);
            // The answer itself proves what is stored; nothing waits for a close.
            backup_index_add(ctx, local, st.mtime, st.size);
            if (again) report_transfer_withdrawn();
            report_up_to_date();
            progress_end_item(PROGRESS_END_CURRENT);
            return BACKUP_OK;
        }
        if (rc != ERR_NONE) {
            job_log_printf("FILE: ERROR: Server side failure from safe_file_wopen() with error "
                           "code %d on '%s'\n",
                           rc, local);
            if (rc == ERR_NOTFILE)
                job_log_printf("FILE: The server holds a folder at '%s'; only a mirrored folder "
                               "replaces it with the file.\n",
                               remote);
            report_file_error_code(local, rc);
            progress_end_item(PROGRESS_END_UNCOUNTED);
            return BACKUP_FAILED;
        }
        t.handle = open.handle;
        t.block_size = open.block_size;
        t.blocks = open.block_count;
        t.known = open.known_blocks;
        t.connections_at_open = session->connections;

        if (!t.file.open() && ctx->pool && reads == 1) {
            // A file named ahead was opened then, and its blocks may be done.
            t.file.fd = block_pool_claim(ctx->pool, local, size);
            t.file.pool_owns = t.file.open();
        }
        if (!t.file.open()) {
            t.file.fd = plat_file_open_read(local);
            if (!t.file.open()) {
                errno_from_last_error();
                const int err = errno;
                ctfs_file_close(session, t.handle);
                progress_end_item(PROGRESS_END_UNCOUNTED);
                if (err == ENOENT) {
                    job_log_printf("FILE: File does not exist: '%s'\n", local);
                } else {
                    job_log_printf("FILE: ERROR Backing up '%s' (errno=%d)\n", local, err);
                    report_file_error_errno(local, err);
                }
                return BACKUP_FAILED;
            }
        }

        if (ctx->pool) {
            t.file.pool = ctx->pool;
            t.pooled = block_pool_begin(ctx->pool, local, t.file.fd, size, t.block_size, t.blocks);
            if (t.pooled && ctx->name_next) name_ahead(ctx);
        }
        int outcome = BACKUP_OK;
        for (uint32_t e = 0; e < t.blocks && outcome == BACKUP_OK; e++) {
            outcome = block_exchange(&t, e);
            // While the last blocks are worked on, the next files are named.
            if (t.pooled && ctx->name_next) name_ahead(ctx);
        }

        if (outcome == BACKUP_CHANGED) {
            // Closed before its last block is complete, the version never
            // becomes current; the file is opened again (it may have been
            // replaced) and read from its new status.
            if (!reconnected(&t)) ctfs_file_close(session, t.handle);
            t.file.close();
            progress_item_bytes(0);
            if (reads >= BACKUP_MAX_READS) {
                job_log_printf("FILE: ERROR: '%s' kept changing while it was read (%d reads); "
                               "Giving up on this file.\n",
                               local, reads);
                report_file_error_text(local, "it kept changing while it was read");
                if (again) report_transfer_withdrawn();
                job_log_printf("FILE: Failed backing up '%s' (TBS error code %d)\n", local,
                               static_cast<int>(BACKUP_FAILED));
                progress_end_item(PROGRESS_END_FAILED);
                return BACKUP_FAILED;
            }
            reads++;
            job_log_printf("FILE: WARNING: '%s' changed while it was read; reading it again (%d "
                           "of %d reads)\n",
                           local, reads, static_cast<int>(BACKUP_MAX_READS));
            st = t.after;
            t.bytes_read = 0;
            continue;
        }
        // A stop that ended a wait of the exchange ends the file too.
        if (outcome == BACKUP_RETRY && termination_flag()) outcome = BACKUP_TERMINATED;
        if (outcome != BACKUP_RETRY) {
            // A handle of a connection that is gone must not be closed on the
            // new one; a close that itself had to reconnect proves nothing.
            if (outcome == BACKUP_OK && reconnected(&t)) {
                outcome = spanned_reconnection(&t);
            } else {
                ctfs_file_close(session, t.handle);
                if (outcome == BACKUP_OK && reconnected(&t)) outcome = spanned_reconnection(&t);
            }
        }
        if (outcome != BACKUP_RETRY) {
            t.file.close();
            if (outcome == BACKUP_OK) {
                // Recorded in the next index once a later answer confirms
                // that the server read the close.
                ctx->pending->closes.push_back(pending_close{local, remote, st.mtime, st.size,
                                                             filter, session->connections,
                                                             session->answers, again});
                if (!again) report_transferred();
                job_log_printf("FILE: Successfully backed up '%s'\n", local);
                // A file sent again was counted as sent the first time.
                progress_end_item(again ? PROGRESS_END_UNCOUNTED : PROGRESS_END_SENT);
            } else {
                if (again) report_transfer_withdrawn();
                if (outcome == BACKUP_TERMINATED) {
                    job_log_printf("FILE: User terminated backup while processing '%s'\n", local);
                } else {
                    job_log_printf("FILE: Failed backing up '%s' (TBS error code %d)\n", local,
                                   outcome);
                }
                progress_end_item(PROGRESS_END_UNCOUNTED);
            }
            return outcome;
        }

        progress_item_bytes(0);
        attempts++;
        job_log_printf("FILE: WARNING: Retrying file (%d of %d attempts)\n", attempts,
                       static_cast<int>(BACKUP_MAX_ATTEMPTS));
        if (attempts >= BACKUP_MAX_ATTEMPTS) {
            job_log_printf("FILE: ERROR: Exceeded maximum retries (%d) while processing '%s'. "
                           "Giving up on this file.\n",
                           static_cast<int>(BACKUP_MAX_ATTEMPTS), local);
            report_file_error_code(local, ERR_BADKEY);
            if (again) report_transfer_withdrawn();
            t.file.close();
            progress_end_item(PROGRESS_END_UNCOUNTED);
            return BACKUP_FAILED;
        }
        plat_file_seek(t.file.fd, 0, PLAT_SEEK_SET);
        t.bytes_read = 0;
    }
}

// Sends again a file whose close the server may never have read.
void send_again(backup_context* ctx, const pending_close& p) {
    job_log_printf("FILE: WARNING: The server did not confirm the close of '%s' before the "
                   "connection was lost; sending the file again.\n",
                   p.local.c_str());
    plat_file_info status;
    if (plat_file_status(p.local.c_str(), &status) != 0 ||
        (status.attributes & PLAT_ATTR_DIRECTORY)) {
        job_log_printf("FILE: File does not exist: '%s'\n", p.local.c_str());
        report_transfer_withdrawn();
        return;
    }
    progress_begin_item(p.local.c_str(), status.size > 0 ? static_cast<uint64_t>(status.size) : 0);
    send_file(ctx, p.local.c_str(), p.remote.c_str(), &status, p.filter, true);
}

// Records the confirmed closes; with lost set, returns the closes whose
// connection broke before a confirmation, and keeps the rest waiting.
std::vector<pending_close> sort_closes(backup_context* ctx) {
    std::vector<pending_close> lost, waiting;
    if (!ctx->pending) return lost;
    for (pending_close& p : ctx->pending->closes) {
        if (close_confirmed(ctx->session, p))
            backup_index_add(ctx, p.local.c_str(), p.mtime, p.size);
        else if (close_lost(ctx->session, p))
            lost.push_back(std::move(p));
        else
            waiting.push_back(std::move(p));
    }
    ctx->pending->closes.swap(waiting);
    return lost;
}

void give_up_close(const pending_close& p) {
    job_log_printf("FILE: WARNING: The server did not confirm the close of '%s'; the next run "
                   "checks the file again.\n",
                   p.local.c_str());
    report_transfer_withdrawn();
}

} // namespace

void backup_confirm_closes(backup_context* ctx) {
    if (!ctx->pending || ctx->pending->closes.empty()) return;
    for (const pending_close& p : sort_closes(ctx)) {
        // A stopped job sends nothing more; a file lost twice is given up.
        if (termination_flag() || p.resent)
            give_up_close(p);
        else
            send_again(ctx, p);
    }
}

namespace {

void unconfirmed_close(const pending_close& p) {
    job_log_printf("FILE: WARNING: The server did not confirm the close of '%s'; the next run "
                   "checks the file again.\n",
                   p.local.c_str());
}

} // namespace

void backup_settle_closes(backup_context* ctx) {
    if (!ctx->pending) return;
    // The report is sent: what is lost now is only left out of the index.
    for (const pending_close& p : sort_closes(ctx))
        unconfirmed_close(p);
    // The rest waits for the release, the job's last request; the index
    // names them now, and is withdrawn when the release does not confirm them.
    for (const pending_close& p : ctx->pending->closes)
        backup_index_add(ctx, p.local.c_str(), p.mtime, p.size);
}

bool backup_release_confirms(backup_context* ctx) {
    if (!ctx->pending) return true;
    bool all = true;
    for (const pending_close& p : ctx->pending->closes) {
        if (close_confirmed(ctx->session, p)) continue;
        unconfirmed_close(p);
        all = false;
    }
    ctx->pending->closes.clear();
    return all;
}

namespace {

// backup_file; index_may_skip false: the change index is not asked (the
// server's entry of that path was just replaced).
void backup_file_with(backup_context* ctx, const char* local, const char* remote,
                      const plat_file_info* status, const folder_filter* filter,
                      bool index_may_skip) {
    backup_confirm_closes(ctx);
    keepalive_bump();
    if (is_builtin_exclusion(local, (status->attributes & PLAT_ATTR_DIRECTORY) != 0)) return;
    // The file's first line is written together with the line that decides
    // it (skipped, current) where one follows at once: one write, not two.
    log_held_line first;
    job_log_hold(&first, "FILE: '%s' ...\n", local);
    if (filter && filter_skips_file(ctx->filters, filter, local, ctx->style)) {
        job_log_printf_after(&first, "FILE: Skipping '%s' due to filter.\n", local);
        return;
    }
    const uint64_t size = status->size > 0 ? static_cast<uint64_t>(status->size) : 0;
    if (index_may_skip && backup_index_lookup(ctx, local, status->mtime, status->size)) {
        job_log_printf_after(&first, "FILE: Current; Not backing up: '%s'\n", local);
        end_current(ctx, local, status, size);
        return;
    }
    job_log_write_held(&first);
    progress_begin_item(local, size);
    const int parents = filter ? make_today_parents(ctx, remote) : 0;
    if (parents != 0) {
        // (-2: the failed folder is recorded already.)
        if (parents == -1) report_file_error_code(remote, ERR_BADPATH);
        job_log_printf("FILE: ERROR: Failed to generate filter parent directories while on '%s'\n",
                       local);
        progress_end_item(PROGRESS_END_UNCOUNTED);
        return;
    }
    send_file(ctx, local, remote, status, filter, false);
}

} // namespace

void backup_file(backup_context* ctx, const char* local, const char* remote,
                 const plat_file_info* status, const folder_filter* filter) {
    backup_file_with(ctx, local, remote, status, filter, true);
}

void backup_file_anew(backup_context* ctx, const char* local, const char* remote,
                      const plat_file_info* status, const folder_filter* filter) {
    backup_file_with(ctx, local, remote, status, filter, false);
}

bool backup_file_would_send(backup_context* ctx, const char* local, const plat_file_info* status,
                            const folder_filter* filter) {
    if (is_builtin_exclusion(local, (status->attributes & PLAT_ATTR_DIRECTORY) != 0)) return false;
    if (filter && filter_skips_file(ctx->filters, filter, local, ctx->style)) return false;
    return !backup_index_lookup(ctx, local, status->mtime, status->size);
}

int make_today_parents(backup_context* ctx, const char* remote) {
    static const char today[] = "/Today/";
    std::string folder(remote ? remote : "");
    const size_t cut = folder.rfind('/');
    if (cut == std::string::npos) return -1;
    folder.resize(cut);
    const size_t at = folder.find(today);
    if (at == std::string::npos) return -1;

    size_t from = at + sizeof today - 1;
    for (;;) {
        const size_t slash = folder.find('/', from);
        const std::string prefix =
            folder.substr(0, slash == std::string::npos ? folder.size() : slash);
        if (backup_index_lookup(ctx, prefix.c_str(), 0, 0)) {
            backup_index_add(ctx, prefix.c_str(), 0, 0);
        } else {
            bool made = false;
            const int32_t n = blob_list_count(ctx->today_folders);
            for (int32_t i = 0; i < n && !made; i++) {
                const char* f = static_cast<const char*>(blob_list_get(ctx->today_folders, i));
                made = f && compare_nocase(f, prefix.c_str()) == 0;
            }
            if (!made) {
                ctfs_path_request mk{0, prefix.c_str()};
                const tfs_result rc = ctfs_mkdir(ctx->session, &mk);
                if (rc != ERR_NONE && rc != ERR_EXISTS) {
                    report_file_error_code(remote, rc);
                    return -2;
                }
                if (ctx->today_folders) blob_list_append_text(ctx->today_folders, prefix.c_str());
                backup_index_add(ctx, prefix.c_str(), 0, 0);
            }
        }
        if (slash == std::string::npos) break;
        from = slash + 1;
    }
    return 0;
}
