// Resume check of an interrupted map.
#include "formats/mapresume.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "platform/core/printf_check.h"

namespace {

std::string say(const char *fmt, ...) VRIM_PRINTF(1, 2);
std::string say(const char *fmt, ...) {
    char buf[600];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

}  // namespace

bool resume_check(const MapBlocks &file, MapRecordDoc *rec, const std::vector<std::array<int, 2>> &positions,
                  const std::string &refSha256, int points, ResumePlan *plan, std::string *why) {
    *plan = ResumePlan{};
    const int total = (int)positions.size();
    if (total == 0) {
        *why = "The POSITIONS table lists no sample position; there is no map to go on with.";
        return false;
    }
    if (rec->positions != positions) {
        size_t i = 0;
        while (i < rec->positions.size() && i < positions.size() && rec->positions[i] == positions[i]) i++;
        if (rec->positions.size() != positions.size() && i == std::min(rec->positions.size(), positions.size()))
            *why = say("The record lists %zu positions; the POSITIONS table gives %d.", rec->positions.size(), total);
        else
            *why = say("Position %zu differs: the record has X %d, Y %d; the POSITIONS table has X %d, Y %d.", i + 1,
                       rec->positions[i][0], rec->positions[i][1], positions[i][0], positions[i][1]);
        *why += "\nLoad the positions the map was started with.";
        return false;
    }
    if (rec->refSha256.empty() || rec->refSha256 != refSha256) {
        *why = "The reference QE table in use is not the one the map was measured with (its SHA-256 differs";
        *why += rec->refTable.empty() ? std::string(")") : "; the map used " + rec->refTable + ")";
        *why += ".\nLoad that table first.";
        return false;
    }
    const size_t nb = file.blocks.size();
    for (size_t k = 0; k < nb; k++) {
        const MapHeader &h = file.blocks[k].hdr;
        int want = (int)k + 1;
        if (h.version != MAPFILE_VERSION || h.index != want) {
            *why = say("Block %d of the file is position %d (version %d); the map writes position %d there.", want,
                       (int)h.index, (int)h.version, want);
            return false;
        }
        if (want > total) {
            *why = say("The file holds %zu blocks; the map has only %d positions.", nb, total);
            return false;
        }
        if (h.xReq != positions[k][0] || h.yReq != positions[k][1]) {
            *why = say("Block %d of the file was measured at X %d, Y %d; position %d of the map is X %d, Y %d.", want,
                       (int)h.xReq, (int)h.yReq, want, positions[k][0], positions[k][1]);
            return false;
        }
        if ((int)file.blocks[k].rec.size() != points) {
            *why = say("Block %d of the file holds %zu points; the reference table in use has %d.", want,
                       file.blocks[k].rec.size(), points);
            return false;
        }
    }
    size_t listed = rec->blocks.size();
    bool adopt = nb == listed + 1;
    if (nb > listed + (adopt ? 1 : 0)) {
        *why = say("The file holds %zu blocks; its record lists only %zu.", nb, listed);
        return false;
    }
    if (listed > nb) {
        *why = say("The record lists %zu blocks; the file holds only %zu whole blocks.", listed, nb);
        return false;
    }
    for (size_t k = 0; k < listed; k++) {
        const MapRecordBlock &b = rec->blocks[k];
        const MapHeader &h = file.blocks[k].hdr;
        if (b.index != h.index || b.requested[0] != h.xReq || b.requested[1] != h.yReq) {
            *why = say("Block %zu of the file (position %d) is not the block %zu of its record (position %d).", k + 1,
                       (int)h.index, k + 1, b.index);
            return false;
        }
    }
    if ((int)nb == total) {
        *why = say("All %d positions are in the file; there is nothing to resume.", total);
        return false;
    }
    if (adopt) {
        const MapHeader &h = file.blocks[nb - 1].hdr;
        MapRecordBlock b;
        b.index = h.index;
        b.requested = {(int)h.xReq, (int)h.yReq};
        b.readBack = {(int)h.xRead, (int)h.yRead};
        b.time = iso8601_local(h.time);
        b.faults = 1;
        b.faultText.push_back("record: this block was written just before the program was interrupted, before its "
                              "record; its instrument faults are unknown");
        rec->blocks.push_back(b);
        plan->adopted = true;
    }
    plan->have = (int)nb;
    plan->total = total;
    plan->next = (int)nb + 1;
    plan->keepBytes = file.wholeBytes;
    plan->message = say("%d of %d positions are in the file; the map goes on at position %d.", plan->have, total,
                        plan->next);
    return true;
}
