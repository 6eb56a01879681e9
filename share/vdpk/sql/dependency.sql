CREATE TABLE IF NOT EXISTS dependency (id integer primary key, dependency_name text not null, package_id integer references package not null);
CREATE UNIQUE INDEX IF NOT EXISTS i_dependency_by_package_name ON dependency(package_id, dependency_name);
CREATE INDEX IF NOT EXISTS i_dependency_by_name ON dependency(dependency_name);
