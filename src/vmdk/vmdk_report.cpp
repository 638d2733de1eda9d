// JSON and text reports of a descriptor record.

#include "vmdk/vmdk_report.hpp"

namespace {

bool graindir_loaded(const graindir_t &gd)
{
    return gd.magic == GRAINDIR_MAGIC;
}

void add(json_object *o, const char *key, json_object *v)
{
    json_object_object_add(o, key, v);
}

json_object *u64(uint64_t v)
{
    return json_object_new_uint64(v);
}

json_object *graindir_to_json(const graindir_t &gd)
{
    json_object *o = json_object_new_object();
    add(o, "capacity", u64(gd.capacity));
    add(o, "grainsize", u64(gd.grainsize));
    add(o, "numgtespergt", u64(gd.numgtespergt));
    add(o, "gd_entry_count", u64(gd.gd_entry_count));
    add(o, "gt_entry_count", u64(gd.gt_entry_count));
    return o;
}

json_object *extent_to_json(const extentdesc_t &e)
{
    json_object *o = json_object_new_object();
    add(o, "mode", json_object_new_string(extentmode_name(e.mode)));
    add(o, "extentsize", u64(e.extentsize));
    add(o, "extenttype", json_object_new_string(extenttype_name(e.extenttype)));
    add(o, "extentname", json_object_new_string(e.extentname));
    add(o, "extentoffset", u64(e.extentoffset));
    if (graindir_loaded(e.graindir))
        add(o, "graindir", graindir_to_json(e.graindir));
    return o;
}

json_object *diskdb_to_json(const diskdb_t &db)
{
    json_object *o = json_object_new_object();
    add(o, "hwversion", u64(db.hwversion));
    add(o, "cylinders", u64(db.cylinders));
    add(o, "heads", u64(db.heads));
    add(o, "sectors", u64(db.sectors));
    add(o, "adaptertype", json_object_new_string(adaptertype_name(db.adaptertype)));
    add(o, "toolsversion", u64(db.toolsversion));
    add(o, "encoding", u64(db.encoding));
    add(o, "uuid", json_object_new_string(db.uuid));
    add(o, "longcontentid", json_object_new_string(db.longcontentid));
    return o;
}

void print_indent(FILE *out, int indent)
{
    fprintf(out, "%*s", indent, "");
}

} // namespace

json_object *vmdk_desc_to_json(const vmdkdesc_t *d)
{
    json_object *o = json_object_new_object();
    add(o, "filename", json_object_new_string(d->filename.c_str()));
    add(o, "dirname", json_object_new_string(d->dirname));
    add(o, "version", u64(d->version));
    add(o, "encoding", u64(d->encoding));
    add(o, "cid", u64(d->cid));
    add(o, "pcid", u64(d->pcid));
    add(o, "createtype", json_object_new_string(createtype_name(d->createtype)));
    add(o, "parentfilenamehint", json_object_new_string(d->parentfilenamehint.c_str()));
    add(o, "change_track_path", json_object_new_string(d->change_track_path.c_str()));
    add(o, "thin_provisioned", json_object_new_boolean(d->thin_provisioned));
    add(o, "datastore_direct", json_object_new_boolean(d->datastore_direct));
    add(o, "extentdesccount", u64(d->extentdesccount));
    json_object *extents = json_object_new_array();
    for (uint32_t i = 0; i < d->extentdesccount; i++) {
        if (d->extentdesc[i])
            json_object_array_add(extents, extent_to_json(*d->extentdesc[i]));
    }
    add(o, "extentdesc", extents);
    add(o, "diskdb", diskdb_to_json(d->diskdb));
    return o;
}

void vmdk_print_desc(FILE *out, const vmdkdesc_t *d, int indent)
{
    auto line = [&](const char *fmt, auto... args) {
        print_indent(out, indent);
        fprintf(out, fmt, args...);
    };
    line("filename: %s\n", d->filename.c_str());
    line("dirname: %s\n", d->dirname);
    line("version: %u\n", d->version);
    line("encoding: %u\n", d->encoding);
    line("cid: %08x\n", d->cid);
    line("pcid: %08x\n", d->pcid);
    line("createtype: %s\n", createtype_name(d->createtype));
    line("parentfilenamehint: %s\n", d->parentfilenamehint.c_str());
    line("change_track_path: %s\n", d->change_track_path.c_str());
    line("thin_provisioned: %s\n", d->thin_provisioned ? "true" : "false");
    line("datastore_direct: %s\n", d->datastore_direct ? "true" : "false");
    line("extentdesccount: %u\n", d->extentdesccount);
    for (uint32_t i = 0; i < d->extentdesccount; i++) {
        const extentdesc_t *e = d->extentdesc[i].get();
        if (!e)
            continue;
        line("extentdesc[%u]: %s %llu %s \"%s\" extentoffset %llu\n", i, extentmode_name(e->mode),
             static_cast<unsigned long long>(e->extentsize), extenttype_name(e->extenttype),
             e->extentname, static_cast<unsigned long long>(e->extentoffset));
        const graindir_t &gd = e->graindir;
        if (graindir_loaded(gd))
            line("  graindir: capacity %u grainsize %u numgtespergt %u gd_entry_count %u "
                 "gt_entry_count %u\n",
                 gd.capacity, gd.grainsize, gd.numgtespergt, gd.gd_entry_count, gd.gt_entry_count);
    }
    const diskdb_t &db = d->diskdb;
    line("diskdb: hwversion %u cylinders %u heads %u sectors %u adaptertype %s toolsversion %u "
         "encoding %u\n",
         db.hwversion, db.cylinders, db.heads, db.sectors, adaptertype_name(db.adaptertype),
         db.toolsversion, db.encoding);
    line("diskdb.uuid: %s\n", db.uuid);
    line("diskdb.longcontentid: %s\n", db.longcontentid);
}
