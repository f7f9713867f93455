#!/usr/bin/perl
# The upload benchmark's CGI.pm script: the form parsed by CGI.pm (files
# spooled to its temp files), each file hashed with Digest::SHA; one line
# per file.
use strict;
use warnings;
use CGI;
use Digest::SHA;

my $q = CGI->new;
my $out = "Content-Type: text/plain\r\n\r\n";
for my $name ($q->multi_param) {
  for my $fh (grep { defined } $q->upload($name)) {
    my $sha = Digest::SHA->new(256);
    $sha->addfile($fh);
    $out .= sprintf "%s %d %s\n", $name, -s $fh, $sha->hexdigest;
  }
}
binmode STDOUT;
print $out;
