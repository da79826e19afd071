// Opening the file store of the target: the one place where reading the
// layout (layout.cpp) meets what a power cut may have left half done, a save
// into an archive file (archivecommit.cpp) or a commit of the list
// (storecommit.cpp).
#include "archive.h"
#include "common.h"
#include "disk.h"
#include "filestore.h"
#include "layout.h"

#include <vector>

void open_store(xd_t *xd, int allow_archive, bool writes) {
    // A save into this archive that a power cut interrupted: completed by a
    // run that changes the archive, read where its image lies by any other.
    set_disk_base(0);
    const uint32_t image = take_pending_save(xd, writes);
    if (image) {
        set_disk_base(image);
        seek_disk(xd, 0);
    }
    read_header(xd, allow_archive);

    // A change of the list that a power cut interrupted, likewise.
    std::vector<uint8_t> raw(qx_list, qx_list + size_t(qx_list_sectors) * SECTOR);
    if (!recover_list(xd, raw.data(), writes)) {
        remove_mark(qx_list, qx_list_sectors);
        store_noted(raw.data());
    }
    qx_list_tail = walk_list(qx_list, qx_list_size);
    if (qx_ar_mode) qx_ar_size = get_ar_size();
    store_committed();
}
