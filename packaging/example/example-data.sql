-- A few rows for the tables of schema-sqlite.sql / schema-postgresql.sql, so that the
-- example configuration has something to build from. Loads into either database.
-- Each document in one catalog node (see below): alice sees 1, 2 and 5.
INSERT INTO DOCUMENT (DOCID, TITLE, BODY, URL, NODEID) VALUES
    (1, 'Laptops for travel', 'Light laptops with a long battery life for people on the road.', '/docs/1', 111),
    (2, 'Monitor calibration', 'How to calibrate a monitor so that colours match the printed page.', '/docs/2', 110),
    (3, 'Office suite basics', 'Documents, spreadsheets and slides: the first steps in the office suite.', '/docs/3', 121),
    (4, 'Security checklist', 'Passwords, updates and backups: a checklist for every workstation.', '/docs/4', 120),
    (5, 'Training calendar', 'Courses offered this quarter in the North and South offices.', '/docs/5', 210);

-- Catalog 1: products; catalog 2: regions.
INSERT INTO CATALOGNODE (NODEID, PARENTNODEID, CATALOGID, NODENAME) VALUES
    (100, NULL, 1, 'Products'),
    (110, 100, 1, 'Hardware'),
    (111, 110, 1, 'Laptops'),
    (120, 100, 1, 'Software'),
    (121, 120, 1, 'Office'),
    (200, NULL, 2, 'Regions'),
    (210, 200, 2, 'North'),
    (220, 200, 2, 'South');

-- admin sees both catalogs whole; alice sees Hardware with Laptops, and North.
INSERT INTO CATALOGNODEBYUSER (USERID, CATALOGID, NODEID, LEVEL, ISPROFILE) VALUES
    ('admin', 1, 100, 0, 0),
    ('admin', 2, 200, 0, 0),
    ('alice', 1, 110, 1, 0),
    ('alice', 1, 111, 2, 0),
    ('alice', 2, 210, 1, 0);
