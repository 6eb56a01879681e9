CREATE TABLE IF NOT EXISTS file_detail (
    package_id integer not null references package,
    name text not null,
    type text not null,
    mode integer not null,
    uid integer not null,
    gid integer not null,
    size integer not null,
    sha256 text,
    link_target text
);
CREATE UNIQUE INDEX IF NOT EXISTS i_file_detail_by_package_name ON file_detail(package_id, name);
CREATE TABLE IF NOT EXISTS package_detail (
    package_id integer primary key references package,
    reason text not null default 'requested',
    installed_at integer
);
